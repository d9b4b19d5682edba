#include "quaenums.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMetaEnum>
#include <QStringList>
#include <QUuid>
#include <QVector>

#include "quachangestructuredatatype.h"
#include "qualocalizedtext.h"
#include "quanodeid.h"
#include "quaqualifiedname.h"
#include "quavalueconverter.h"

namespace
{

QHash<UA_StatusCode, QString> buildStatusDescriptions()
{
    using S = QUa::Status;
    const QList<QPair<S, const char *>> descriptions = {
        {S::Good,
         QT_TR_NOOP("The operation was successful and the associated results may be used")},
        {S::GoodLocalOverride, QT_TR_NOOP("The value has been overridden")},
        {S::Uncertain, QT_TR_NOOP("The operation was partially successful and that associated "
                                  "results might not be suitable for some purposes")},
        {S::UncertainNoCommunicationLastUsableValue,
         QT_TR_NOOP("Communication to the data source has failed. The variable value is the last "
                    "value that had a good quality")},
        {S::UncertainLastUsableValue,
         QT_TR_NOOP("Whatever was updating this value has stopped doing so")},
        {S::UncertainSubstituteValue,
         QT_TR_NOOP("The value is an operational value that was manually overwritten")},
        {S::UncertainInitialValue, QT_TR_NOOP("The value is an initial value for a variable that "
                                              "normally receives its value from another variable")},
        {S::UncertainSensorNotAccurate, QT_TR_NOOP("The value is at one of the sensor limits")},
        {S::UncertainEngineeringUnitsExceeded,
         QT_TR_NOOP("The value is outside of the range of values defined for this parameter")},
        {S::UncertainSubNormal, QT_TR_NOOP("The value is derived from multiple sources and has "
                                           "less than the required number of Good sources")},
        {S::Bad, QT_TR_NOOP("The operation failed and any associated results cannot be used")},
        {S::BadConfigurationError, QT_TR_NOOP("There is a problem with the configuration that "
                                              "affects the usefulness of the value")},
        {S::BadNotConnected, QT_TR_NOOP("The variable should receive its value from another "
                                        "variable, but has never been configured to do so")},
        {S::BadDeviceFailure, QT_TR_NOOP("There has been a failure in the device/data source that "
                                         "generates the value that has affected the value")},
        {S::BadSensorFailure, QT_TR_NOOP("There has been a failure in the sensor from which the "
                                         "value is derived by the device/data source")},
        {S::BadOutOfService, QT_TR_NOOP("The source of the data is not operational")},
        {S::BadDeadbandFilterInvalid, QT_TR_NOOP("The deadband filter is not valid")},
    };
    QHash<UA_StatusCode, QString> table;
    for (const auto &entry : descriptions)
        table.insert(static_cast<UA_StatusCode>(entry.first), QObject::tr(entry.second));
    return table;
}

const QHash<UA_StatusCode, QString> &statusDescriptions()
{
    static const QHash<UA_StatusCode, QString> table = buildStatusDescriptions();
    return table;
}

// Values with a text form convert to and from QString through it.
template <typename T> void registerTextForm()
{
    qRegisterMetaType<T>();
    QMetaType::registerConverter<T, QString>([](const T &value) { return value.toString(); });
    QMetaType::registerConverter<QString, T>([](const QString &text) { return T(text); });
}

// Lists are written as the element texts joined by ",".
template <typename T> void registerListTextForm()
{
    qRegisterMetaType<QList<T>>();
    QMetaType::registerConverter<QList<T>, QString>([](const QList<T> &items) {
        QStringList texts;
        for (const T &item : items)
            texts.append(item.toString());
        return texts.join(QLatin1Char(','));
    });
    // An empty text is an empty list, not a list of one empty element.
    QMetaType::registerConverter<QString, QList<T>>([](const QString &text) {
        QList<T> items;
        if (text.isEmpty())
            return items;
        for (const QString &piece : text.split(QLatin1Char(',')))
            items.append(T(piece));
        return items;
    });
}

// Enumerations are written as their key name; an unknown key reads as 0.
template <typename E> void registerEnumTextForm(const char *typeName)
{
    qRegisterMetaType<E>(typeName);
    QMetaType::registerConverter<E, QString>([](E value) {
        return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
    });
    QMetaType::registerConverter<QString, E>([](const QString &text) {
        bool ok = false;
        const int value = QMetaEnum::fromType<E>().keyToValue(text.toUtf8().constData(), &ok);
        return static_cast<E>(ok ? value : 0);
    });
}

// Lists and vectors of the value types, so that a QVariant holding one can be
// walked with QSequentialIterable.
template <typename... T> void registerContainers()
{
    (qRegisterMetaType<QList<T>>(), ...);
    (qRegisterMetaType<QVector<T>>(), ...);
}

} // namespace

QUa::LogLevel QUa::logLevelFromUa(UA_LogLevel level)
{
    if (level < UA_LOGLEVEL_DEBUG)
        return LogLevel::Trace;
    if (level < UA_LOGLEVEL_INFO)
        return LogLevel::Debug;
    if (level < UA_LOGLEVEL_WARNING)
        return LogLevel::Info;
    if (level < UA_LOGLEVEL_ERROR)
        return LogLevel::Warning;
    if (level < UA_LOGLEVEL_FATAL)
        return LogLevel::Error;
    return LogLevel::Fatal;
}

QUa::LogCategory QUa::logCategoryFromUa(UA_LogCategory category)
{
    switch (category) {
    case UA_LOGCATEGORY_NETWORK:
    case UA_LOGCATEGORY_EVENTLOOP:
        return LogCategory::Network;
    case UA_LOGCATEGORY_SECURECHANNEL:
        return LogCategory::SecureChannel;
    case UA_LOGCATEGORY_SESSION:
        return LogCategory::Session;
    case UA_LOGCATEGORY_SERVER:
    case UA_LOGCATEGORY_DISCOVERY:
        return LogCategory::Server;
    case UA_LOGCATEGORY_CLIENT:
        return LogCategory::Client;
    case UA_LOGCATEGORY_USERLAND:
        return LogCategory::UserLand;
    case UA_LOGCATEGORY_SECURITYPOLICY:
        return LogCategory::SecurityPolicy;
    default:
        return LogCategory::Application;
    }
}

QString QUa::nodeClassName(UA_NodeClass nodeClass)
{
    switch (nodeClass) {
    case UA_NODECLASS_OBJECT:
        return QStringLiteral("OBJECT");
    case UA_NODECLASS_VARIABLE:
        return QStringLiteral("VARIABLE");
    case UA_NODECLASS_METHOD:
        return QStringLiteral("METHOD");
    case UA_NODECLASS_OBJECTTYPE:
        return QStringLiteral("OBJECTTYPE");
    case UA_NODECLASS_VARIABLETYPE:
        return QStringLiteral("VARIABLETYPE");
    case UA_NODECLASS_REFERENCETYPE:
        return QStringLiteral("REFERENCETYPE");
    case UA_NODECLASS_DATATYPE:
        return QStringLiteral("DATATYPE");
    case UA_NODECLASS_VIEW:
        return QStringLiteral("VIEW");
    default:
        return QString();
    }
}

void QUa::registerMetaTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;

    registerTextForm<QUaDataType>();
    registerEnumTextForm<QUaExclusiveLimitState>("QUaExclusiveLimitState");
    registerEnumTextForm<QUaExclusiveLimitTransition>("QUaExclusiveLimitTransition");
    registerTextForm<QUaChangeStructureDataType>();
    registerTextForm<QUaStatusCode>();
    registerTextForm<QUaLocalizedText>();
    registerTextForm<QUaNodeId>();
    registerTextForm<QUaQualifiedName>();
    registerListTextForm<QUaNodeId>();
    registerListTextForm<QUaLocalizedText>();
    registerListTextForm<QUaChangeStructureDataType>();

    registerContainers<bool, char, qint8, quint8, qint16, quint16, qint32, quint32, long, ulong,
                       qint64, quint64, float, double, QString, QDateTime, QUuid, QByteArray,
                       QUaNodeId, QUaStatusCode, QUaQualifiedName, QUaLocalizedText>();
    qRegisterMetaType<QVector<QVariant>>();
}

QUaStatusCode::QUaStatusCode(QUa::Status status) : m_code(static_cast<UA_StatusCode>(status)) {}

QUaStatusCode::QUaStatusCode(UA_StatusCode code) : m_code(code) {}

QUaStatusCode::QUaStatusCode(const QString &key)
    : m_code(static_cast<UA_StatusCode>(
          QMetaEnum::fromType<QUa::Status>().keyToValue(key.toUtf8().constData())))
{
}

QString QUaStatusCode::toString() const
{
    const char *key = QMetaEnum::fromType<QUa::Status>().valueToKey(int(m_code));
    return QString::fromLatin1(key ? key : UA_StatusCode_name(m_code));
}

QString QUaStatusCode::description() const
{
    const auto found = statusDescriptions().constFind(m_code);
    if (found != statusDescriptions().cend())
        return *found;
    return QObject::tr("Unknown description value %1").arg(m_code);
}

QUaDataType::QUaDataType(QMetaType::Type type) : m_type(type) {}

QUaDataType::QUaDataType(const QString &typeName)
    : m_type(QUaValueConverter::qtTypeFromTypeName(typeName))
{
}

QString QUaDataType::toString() const
{
    return QUaValueConverter::typeNameFromQtType(m_type);
}
