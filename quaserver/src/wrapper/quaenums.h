#ifndef QUAENUMS_H
#define QUAENUMS_H

#include <QMetaType>
#include <QObject>
#include <QString>

#include <type_traits>

#include <open62541/plugin/log.h>
#include <open62541/types.h>

// The reflected enumerations of the object layer: their names and keys can be
// looked up at run time through QMetaEnum::fromType<QUa::...>().
namespace QUa
{
Q_NAMESPACE

// Same numbers as the stack's identifier types.
enum class NodeIdType { Numeric = 0, String = 3, Guid = 4, ByteString = 5 };
Q_ENUM_NS(NodeIdType)

// The status codes the object layer knows by name; the values are the 32-bit
// OPC UA codes (read through QMetaEnum they come back as signed 32-bit ints).
enum class Status : quint32 {
    Good = 0x00000000,
    GoodLocalOverride = 0x00960000,
    Uncertain = 0x40000000,
    UncertainNoCommunicationLastUsableValue = 0x408F0000,
    UncertainLastUsableValue = 0x40900000,
    UncertainSubstituteValue = 0x40910000,
    UncertainInitialValue = 0x40920000,
    UncertainSensorNotAccurate = 0x40930000,
    UncertainEngineeringUnitsExceeded = 0x40940000,
    UncertainSubNormal = 0x40950000,
    Bad = 0x80000000,
    BadConfigurationError = 0x80890000,
    BadNotConnected = 0x808A0000,
    BadDeviceFailure = 0x808B0000,
    BadSensorFailure = 0x808C0000,
    BadOutOfService = 0x808D0000,
    BadDeadbandFilterInvalid = 0x808E0000
};
Q_ENUM_NS(Status)

// The log levels and categories of the stack's log records. The stack counts
// them its own way: convert with logLevelFromUa and logCategoryFromUa.
enum class LogLevel { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, Fatal = 5 };
Q_ENUM_NS(LogLevel)

enum class LogCategory {
    Network = 0,
    SecureChannel = 1,
    Session = 2,
    Server = 3,
    Client = 4,
    UserLand = 5,
    SecurityPolicy = 6,
    Serialization = 7,
    History = 8,
    Application = 9
};
Q_ENUM_NS(LogCategory)

enum class ExclusiveLimitState {
    None = 0,
    Normal = 0,
    HighHigh = 1,
    High = 2,
    Low = 3,
    LowLow = 4
};
Q_ENUM_NS(ExclusiveLimitState)

enum class ExclusiveLimitTransition {
    None = 0,
    Null = 0,
    HighHighToHigh = 1,
    HighToHighHigh = 2,
    LowLowToLow = 3,
    LowToLowLow = 4
};
Q_ENUM_NS(ExclusiveLimitTransition)

enum class ChangeVerb : quint8 {
    NodeAdded = 1,
    NodeDeleted = 2,
    ReferenceAdded = 4,
    ReferenceDeleted = 8,
    DataTypeChanged = 16
};
Q_ENUM_NS(ChangeVerb)

QUa::LogLevel logLevelFromUa(UA_LogLevel level);
// Categories the enumeration has no key for (the stack's event loop, pub/sub
// and discovery) map to Network, Application and Server.
QUa::LogCategory logCategoryFromUa(UA_LogCategory category);

// The text a node class is shown as ("OBJECT", "VARIABLE", ...); a null
// string for an unspecified or unknown class.
QString nodeClassName(UA_NodeClass nodeClass);

// Registers the value types of the object layer with Qt's meta-type system,
// with their conversions to and from QString and the list and vector
// containers that QSequentialIterable needs. Runs once per process; later
// calls do nothing.
void registerMetaTypes();
} // namespace QUa

// The names the two limit enumerations are registered under.
using QUaExclusiveLimitState = QUa::ExclusiveLimitState;
using QUaExclusiveLimitTransition = QUa::ExclusiveLimitTransition;

// One 32-bit OPC UA status code; Good by default.
class QUaStatusCode
{
public:
    QUaStatusCode(QUa::Status status = QUa::Status::Good);
    QUaStatusCode(UA_StatusCode code);
    // The key name of a QUa::Status; a text that is no key gives 0xFFFFFFFF.
    QUaStatusCode(const QString &key);
    // Only character pointers: a literal 0 (UA_STATUSCODE_GOOD) must pick the
    // code constructor, not this one.
    template <typename Char, typename = std::enable_if_t<std::is_same<Char, char>::value>>
    QUaStatusCode(const Char *key) : QUaStatusCode(QString::fromUtf8(key))
    {
    }

    operator UA_StatusCode() const { return m_code; }
    explicit operator QUa::Status() const { return static_cast<QUa::Status>(m_code); }

    // The QUa::Status key, or the stack's name for any other code.
    QString toString() const;
    QString description() const;

    friend bool operator==(const QUaStatusCode &code, QUa::Status status)
    {
        return code.m_code == static_cast<UA_StatusCode>(status);
    }
    friend bool operator!=(const QUaStatusCode &code, QUa::Status status)
    {
        return !(code == status);
    }

private:
    UA_StatusCode m_code;
};

// A Qt value type named the way the object layer names data types.
class QUaDataType
{
public:
    QUaDataType(QMetaType::Type type = QMetaType::UnknownType);
    // A type name ("Double", "QString", "QUaNodeId", ...); unknown names give
    // QMetaType::UnknownType.
    QUaDataType(const QString &typeName);

    operator QMetaType::Type() const { return m_type; }
    bool operator==(const QUaDataType &other) const { return m_type == other.m_type; }
    bool operator==(QMetaType::Type type) const { return m_type == type; }
    bool operator!=(const QUaDataType &other) const { return !(*this == other); }
    bool operator!=(QMetaType::Type type) const { return !(*this == type); }

    QString toString() const;

private:
    QMetaType::Type m_type;
};

Q_DECLARE_METATYPE(QUaStatusCode)
Q_DECLARE_METATYPE(QUaDataType)

#endif // QUAENUMS_H
