// Status codes, data types, the reflected enumerations and the meta-type
// registration with its text conversions.
#include <QtTest>

#include "quatypes.h"

namespace
{

QStringList &caughtWarnings()
{
    static QStringList warnings;
    return warnings;
}

void catchWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        caughtWarnings().append(message);
}

template <typename T> QString textOf(const T &value)
{
    return QVariant::fromValue(value).toString();
}

template <typename T> T fromText(const QString &text)
{
    return QVariant(text).value<T>();
}

} // namespace

class TestQuaEnums : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void registrationRunsOnce();
    void statusTexts();
    void statusFromKeys();
    void enumerationsAreReflected();
    void stackLogLevelsAndCategories();
    void dataTypeNames();
    void nodeClassNames();
    void changeStructureTextForm();
    void textConversions();
    void listTextConversions();
    void registeredContainersAreIterable();
};

void TestQuaEnums::initTestCase()
{
    QUa::registerMetaTypes();
}

void TestQuaEnums::registrationRunsOnce()
{
    caughtWarnings().clear();
    const QtMessageHandler previous = qInstallMessageHandler(catchWarnings);
    QUa::registerMetaTypes();
    qInstallMessageHandler(previous);
    QCOMPARE(caughtWarnings(), QStringList());
}

void TestQuaEnums::statusTexts()
{
    const QUaStatusCode deviceFailure(QUa::Status::BadDeviceFailure);
    QCOMPARE(deviceFailure.toString(), QStringLiteral("BadDeviceFailure"));
    QCOMPARE(deviceFailure.description(),
             QStringLiteral("There has been a failure in the device/data source that generates the "
                            "value that has affected the value"));

    const QUaStatusCode stackOnly(UA_STATUSCODE_BADNODEIDUNKNOWN);
    QCOMPARE(stackOnly.toString(), QStringLiteral("BadNodeIdUnknown"));
    QCOMPARE(stackOnly.description(), QStringLiteral("Unknown description value 2150891520"));
    QCOMPARE(QUaStatusCode(UA_StatusCode(0x12345678)).toString(),
             QStringLiteral("Unknown StatusCode"));

    // Every named code has its own key and a description of its own.
    const QMetaEnum status = QMetaEnum::fromType<QUa::Status>();
    QCOMPARE(status.keyCount(), 17);
    QSet<QString> descriptions;
    for (int i = 0; i < status.keyCount(); ++i) {
        const QUaStatusCode code(UA_StatusCode(status.value(i)));
        QCOMPARE(code.toString(), QString::fromLatin1(status.key(i)));
        QVERIFY(!code.description().startsWith(QStringLiteral("Unknown")));
        descriptions.insert(code.description());
    }
    QCOMPARE(descriptions.size(), 17);
    QCOMPARE(QUaStatusCode().description(),
             QStringLiteral("The operation was successful and the associated results may be used"));
}

void TestQuaEnums::statusFromKeys()
{
    QCOMPARE(UA_StatusCode(QUaStatusCode("BadOutOfService")), UA_StatusCode(0x808D0000));
    QCOMPARE(UA_StatusCode(QUaStatusCode(QStringLiteral("Bad"))), UA_StatusCode(0x80000000));
    QCOMPARE(UA_StatusCode(QUaStatusCode("NoSuchStatus")), UA_StatusCode(0xFFFFFFFF));
    QVERIFY(QUaStatusCode(UA_STATUSCODE_GOOD) == QUa::Status::Good);
    QVERIFY(QUaStatusCode(0x40920000u) == QUa::Status::UncertainInitialValue);
    QCOMPARE(static_cast<QUa::Status>(QUaStatusCode(0x408F0000u)),
             QUa::Status::UncertainNoCommunicationLastUsableValue);
}

void TestQuaEnums::enumerationsAreReflected()
{
    const QMetaEnum nodeIdType = QMetaEnum::fromType<QUa::NodeIdType>();
    QCOMPARE(nodeIdType.keyToValue("Numeric"), int(UA_NODEIDTYPE_NUMERIC));
    QCOMPARE(nodeIdType.keyToValue("String"), int(UA_NODEIDTYPE_STRING));
    QCOMPARE(nodeIdType.keyToValue("Guid"), int(UA_NODEIDTYPE_GUID));
    QCOMPARE(nodeIdType.keyToValue("ByteString"), int(UA_NODEIDTYPE_BYTESTRING));

    // Shared values: the first key wins.
    QCOMPARE(QByteArray(QMetaEnum::fromType<QUa::ExclusiveLimitState>().valueToKey(0)),
             QByteArray("None"));
    QCOMPARE(QByteArray(QMetaEnum::fromType<QUa::ExclusiveLimitTransition>().valueToKey(0)),
             QByteArray("None"));
    QCOMPARE(QMetaEnum::fromType<QUa::ExclusiveLimitTransition>().keyToValue("Null"), 0);
    QCOMPARE(QMetaEnum::fromType<QUa::ChangeVerb>().keyToValue("DataTypeChanged"), 16);
    QCOMPARE(QMetaEnum::fromType<QUa::LogCategory>().keyToValue("Application"), 9);
    QCOMPARE(QByteArray(QMetaEnum::fromType<QUa::Status>().valueToKey(int(0x80000000u))),
             QByteArray("Bad"));

    QCOMPARE(QMetaType::type("QUaExclusiveLimitState"), qMetaTypeId<QUa::ExclusiveLimitState>());
    QCOMPARE(QMetaType::type("QUaExclusiveLimitTransition"),
             qMetaTypeId<QUa::ExclusiveLimitTransition>());
}

void TestQuaEnums::stackLogLevelsAndCategories()
{
    // The stack counts levels in hundreds and has categories of its own.
    QCOMPARE(QUa::logLevelFromUa(UA_LOGLEVEL_TRACE), QUa::LogLevel::Trace);
    QCOMPARE(QUa::logLevelFromUa(UA_LogLevel(450)), QUa::LogLevel::Warning);
    QCOMPARE(QUa::logLevelFromUa(UA_LOGLEVEL_FATAL), QUa::LogLevel::Fatal);
    QCOMPARE(QUa::logCategoryFromUa(UA_LOGCATEGORY_SECURITYPOLICY),
             QUa::LogCategory::SecurityPolicy);
    QCOMPARE(QUa::logCategoryFromUa(UA_LOGCATEGORY_EVENTLOOP), QUa::LogCategory::Network);
    QCOMPARE(QUa::logCategoryFromUa(UA_LOGCATEGORY_PUBSUB), QUa::LogCategory::Application);
}

void TestQuaEnums::dataTypeNames()
{
    QCOMPARE(QUaDataType(QMetaType::ULongLong).toString(), QStringLiteral("ULongLong"));
    QVERIFY(QUaDataType(QStringLiteral("Double")) == QMetaType::Double);
    QVERIFY(QUaDataType(QStringLiteral("Decimal")) == QMetaType::UnknownType);
    QCOMPARE(QUaDataType(QMetaType::QRect).toString(), QStringLiteral("UnknownType"));

    QCOMPARE(textOf(QUaDataType(QMetaType::SChar)), QStringLiteral("SChar"));
    QVERIFY(fromText<QUaDataType>(QStringLiteral("QDateTime")) == QMetaType::QDateTime);
}

void TestQuaEnums::nodeClassNames()
{
    QCOMPARE(QUa::nodeClassName(UA_NODECLASS_VARIABLETYPE), QStringLiteral("VARIABLETYPE"));
    QVERIFY(QUa::nodeClassName(UA_NODECLASS_UNSPECIFIED).isNull());
    QVERIFY(QUa::nodeClassName(UA_NodeClass(3)).isNull());
}

void TestQuaEnums::changeStructureTextForm()
{
    const QUaChangeStructureDataType change(QUaNodeId(0, 85), QUaNodeId(0, 61),
                                            QUa::ChangeVerb::NodeAdded);
    QCOMPARE(change.toString(), QStringLiteral("ns=0;i=85|ns=0;i=61|NodeAdded"));
    QCOMPARE(QUaChangeStructureDataType(change.toString()), change);
    QCOMPARE(fromText<QUaChangeStructureDataType>(QStringLiteral("ns=2;s=A|ns=0;i=58|NodeDeleted")),
             QUaChangeStructureDataType(QUaNodeId(2, "A"), QUaNodeId(0, 58),
                                        QUa::ChangeVerb::NodeDeleted));

    const QUaChangeStructureDataType partial(QStringLiteral("ns=1;i=7"));
    QCOMPARE(partial.affected, QUaNodeId(1, 7));
    QVERIFY(partial.affectedType.isNull());
    QCOMPARE(int(partial.verb), 0);
}

void TestQuaEnums::textConversions()
{
    QCOMPARE(textOf(QUaNodeId(1, QStringLiteral("Tag"))), QStringLiteral("ns=1;s=Tag"));
    QCOMPARE(fromText<QUaNodeId>(QStringLiteral("ns=4;i=9")), QUaNodeId(4, 9));
    QCOMPARE(textOf(QUaQualifiedName(1, QStringLiteral("Speed"))), QStringLiteral("ns=1;s=Speed"));
    QCOMPARE(fromText<QUaQualifiedName>(QStringLiteral("ns=1;s=Speed")),
             QUaQualifiedName(1, QStringLiteral("Speed")));
    QCOMPARE(textOf(QUaLocalizedText("en", "Stop")), QStringLiteral("l=en;t=Stop"));
    QCOMPARE(fromText<QUaLocalizedText>(QStringLiteral("Stop")), QUaLocalizedText("", "Stop"));
    QCOMPARE(textOf(QUaStatusCode(QUa::Status::UncertainSubNormal)),
             QStringLiteral("UncertainSubNormal"));
    QCOMPARE(UA_StatusCode(fromText<QUaStatusCode>(QStringLiteral("BadNotConnected"))),
             UA_StatusCode(0x808A0000));

    QCOMPARE(textOf(QUaExclusiveLimitState::LowLow), QStringLiteral("LowLow"));
    QCOMPARE(textOf(QUaExclusiveLimitState::Normal), QStringLiteral("None"));
    QCOMPARE(fromText<QUaExclusiveLimitState>(QStringLiteral("High")),
             QUaExclusiveLimitState::High);
    QCOMPARE(fromText<QUaExclusiveLimitState>(QStringLiteral("Sideways")),
             QUaExclusiveLimitState::None);
    QCOMPARE(textOf(QUaExclusiveLimitTransition::LowToLowLow), QStringLiteral("LowToLowLow"));
    QCOMPARE(fromText<QUaExclusiveLimitTransition>(QStringLiteral("Nope")),
             QUaExclusiveLimitTransition::None);
}

void TestQuaEnums::listTextConversions()
{
    const QList<QUaNodeId> ids{QUaNodeId(0, 1), QUaNodeId(1, 2)};
    QCOMPARE(textOf(ids), QStringLiteral("ns=0;i=1,ns=1;i=2"));
    QCOMPARE(fromText<QList<QUaNodeId>>(QStringLiteral("ns=0;i=1,ns=1;i=2")), ids);
    // An empty text is an empty list: a round trip must not invent an element.
    QCOMPARE(textOf(QList<QUaNodeId>()), QString());
    QVERIFY(fromText<QList<QUaNodeId>>(QString()).isEmpty());

    const QList<QUaLocalizedText> texts{QUaLocalizedText("en", "On"), QUaLocalizedText("", "Вкл")};
    QCOMPARE(textOf(texts), QStringLiteral("l=en;t=On,Вкл"));
    QCOMPARE(fromText<QList<QUaLocalizedText>>(textOf(texts)), texts);

    const QList<QUaChangeStructureDataType> changes{
        {QUaNodeId(0, 85), QUaNodeId(0, 61), QUa::ChangeVerb::ReferenceAdded},
        {QUaNodeId(2, "x"), QUaNodeId(0, 58), QUa::ChangeVerb::DataTypeChanged}};
    QCOMPARE(
        textOf(changes),
        QStringLiteral("ns=0;i=85|ns=0;i=61|ReferenceAdded,ns=2;s=x|ns=0;i=58|DataTypeChanged"));
    QCOMPARE(fromText<QList<QUaChangeStructureDataType>>(textOf(changes)), changes);
}

void TestQuaEnums::registeredContainersAreIterable()
{
    // A container made from its type id alone (as from a property or a
    // stream) is iterable without having passed through QVariant::fromValue.
    const QVector<quint16> values{1, 2, 3};
    const int vectorType = QMetaType::type("QVector<ushort>");
    QVERIFY(vectorType != QMetaType::UnknownType);
    const QVariant vector(vectorType, &values);
    QVERIFY(vector.canConvert<QVariantList>());
    QCOMPARE(vector.value<QSequentialIterable>().size(), 3);

    const int statusListType = QMetaType::type("QList<QUaStatusCode>");
    QVERIFY(statusListType != QMetaType::UnknownType);
    QVERIFY(QVariant(statusListType, nullptr).canConvert<QVariantList>());
}

QTEST_GUILESS_MAIN(TestQuaEnums)
#include "tst_quaenums.moc"
