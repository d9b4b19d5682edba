#include "quabasevariable.h"

#include <QMetaMethod>

#include "quaserver.h"
#include "quastack.h"

namespace
{

const UA_NodeId kBaseDataType = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATATYPE);

// The Qt aliases of one OPC UA type are taken as the one the type tables use.
QMetaType::Type foldTypeAliases(QMetaType::Type type)
{
    switch (type) {
    case QMetaType::SChar:
        return QMetaType::Char;
    case QMetaType::LongLong:
        return QMetaType::Long;
    case QMetaType::ULongLong:
        return QMetaType::ULong;
    default:
        return type;
    }
}

// The stack stores the values of an enumeration variable under the
// enumeration's own data type; in memory and on the wire they are Int32.
QVariant toQtValue(const UA_Variant &value)
{
    if (!value.type || value.type->typeKind != UA_DATATYPEKIND_ENUM) {
        return QUaValueConverter::toQVariant(value, QUaArrayKind::List);
    }
    UA_Variant asInt32 = value; // shallow: never cleared
    asInt32.type = &UA_TYPES[UA_TYPES_INT32];
    return QUaValueConverter::toQVariant(asInt32, QUaArrayKind::List);
}

bool isList(const QVariant &value)
{
    return value.canConvert<QVariantList>();
}

// The value as the type when Qt can convert it, the type's default otherwise.
QVariant convertedOrDefault(QVariant value, QMetaType::Type type)
{
    if (value.canConvert(type) && value.convert(type)) {
        return value;
    }
    return QVariant(type, nullptr);
}

// The value as the type, element by element for a list. BaseDataType takes
// any value as it is.
QVariant valueAsType(const QVariant &value, QMetaType::Type type)
{
    if (type == QMetaType::QVariant) {
        return value;
    }
    if (!isList(value)) {
        return convertedOrDefault(value, type);
    }
    QVariantList elements;
    for (const QVariant &element : value.value<QVariantList>()) {
        elements.append(convertedOrDefault(element, type));
    }
    return elements;
}

} // namespace

QUaBaseVariable::QUaBaseVariable(QUaServer *server) : QUaNode(server)
{
    m_type = typeOfDataTypeAttribute();
    installWriteHook(true);
}

void QUaBaseVariable::installWriteHook(bool installed)
{
    UA_ValueCallback callback;
    callback.onRead = nullptr;
    callback.onWrite = installed ? &QUaBaseVariable::onWrite : nullptr;
    UA_Server_setVariableNode_valueCallback(stackServer(), stackNodeId(), callback);
}

QMetaType::Type QUaBaseVariable::typeOfDataTypeAttribute() const
{
    UA_NodeId dataTypeId = UA_NODEID_NULL;
    UA_Server_readDataType(stackServer(), stackNodeId(), &dataTypeId);
    const QMetaType::Type type = server()->isEnumDataType(QUaNodeId(dataTypeId))
                                     ? QMetaType::Int
                                     : QUaValueConverter::qtTypeFromUaNodeId(&dataTypeId);
    UA_NodeId_clear(&dataTypeId);
    return type;
}

// Called by the stack after every successful write of the value attribute.
void QUaBaseVariable::onWrite(UA_Server *server, const UA_NodeId *sessionId, void *,
                              const UA_NodeId *, void *nodeContext, const UA_NumericRange *,
                              const UA_DataValue *data)
{
    QUaServer *owner = QUaServer::fromStack(server);
    auto *variable =
        owner ? qobject_cast<QUaBaseVariable *>(owner->nodeFromContext(nodeContext)) : nullptr;
    if (variable) {
        variable->emitWritten(sessionId, *data);
    }
}

void QUaBaseVariable::emitWritten(const UA_NodeId *sessionId, const UA_DataValue &data)
{
    static const QMetaMethod valueSignal = QMetaMethod::fromSignal(&QUaBaseVariable::valueChanged);
    static const QMetaMethod statusSignal =
        QMetaMethod::fromSignal(&QUaBaseVariable::statusCodeChanged);
    static const QMetaMethod sourceTimeSignal =
        QMetaMethod::fromSignal(&QUaBaseVariable::sourceTimestampChanged);
    static const QMetaMethod serverTimeSignal =
        QMetaMethod::fromSignal(&QUaBaseVariable::serverTimestampChanged);
    static const QMetaMethod anyValueSignal =
        QMetaMethod::fromSignal(&QUaServer::variableValueChanged);

    // Receivers may ask the server which session wrote.
    server()->setCurrentSession(sessionId);
    const bool networkChange = !m_bInternalWrite;
    if (isSignalConnected(valueSignal)) {
        emit valueChanged(value(), networkChange);
    }
    if (server()->isSignalConnected(anyValueSignal)) {
        emit server()->variableValueChanged(this, value(), networkChange);
    }
    if (data.hasStatus && isSignalConnected(statusSignal)) {
        emit statusCodeChanged(QUaStatusCode(data.status), networkChange);
    }
    if (data.hasSourceTimestamp && isSignalConnected(sourceTimeSignal)) {
        emit sourceTimestampChanged(QUaValueConverter::toQDateTime(data.sourceTimestamp),
                                    networkChange);
    }
    if (data.hasServerTimestamp && isSignalConnected(serverTimeSignal)) {
        emit serverTimestampChanged(QUaValueConverter::toQDateTime(data.serverTimestamp),
                                    networkChange);
    }
    m_bInternalWrite = false;
}

UA_DataValue QUaBaseVariable::readDataValue(UA_TimestampsToReturn timestamps) const
{
    UA_ReadValueId item;
    UA_ReadValueId_init(&item);
    item.nodeId = stackNodeId(); // shallow: never cleared
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    return UA_Server_read(stackServer(), &item, timestamps);
}

bool QUaBaseVariable::writeDataValue(const UA_DataValue &dataValue)
{
    UA_WriteValue item;
    UA_WriteValue_init(&item);
    item.nodeId = stackNodeId(); // shallow, as is the value: never cleared
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    item.value = dataValue;
    return UA_Server_write(stackServer(), &item) == UA_STATUSCODE_GOOD;
}

// A write on the program's behalf: the write hook that the stack calls from
// inside it reports networkChange false. False when the stack refused it.
bool QUaBaseVariable::writeProgramValue(const QVariant &value, const QUaStatusCode &statusCode,
                                        const QDateTime &sourceTimestamp,
                                        const QDateTime &serverTimestamp)
{
    UA_DataValue dataValue;
    UA_DataValue_init(&dataValue);
    dataValue.value = QUaValueConverter::toUaVariant(value);
    dataValue.hasValue = true;
    dataValue.status = statusCode;
    dataValue.hasStatus = true;
    if (sourceTimestamp.isValid()) {
        dataValue.sourceTimestamp = QUaValueConverter::toUaDateTime(sourceTimestamp);
        dataValue.hasSourceTimestamp = true;
    }
    if (serverTimestamp.isValid()) {
        dataValue.serverTimestamp = QUaValueConverter::toUaDateTime(serverTimestamp);
        dataValue.hasServerTimestamp = true;
    }
    const bool written = writeProgramDataValue(dataValue);
    UA_DataValue_clear(&dataValue);
    return written;
}

// The hook that the stack calls from inside the write reports networkChange
// false: the program wrote, not a client.
bool QUaBaseVariable::writeProgramDataValue(const UA_DataValue &dataValue)
{
    m_bInternalWrite = true;
    const bool written = writeDataValue(dataValue);
    // A write the stack refused never reached the hook: the flag must not stay
    // up and mark the next client write as the program's.
    m_bInternalWrite = false;
    return written;
}

bool QUaBaseVariable::writeDataTypeAttribute(const UA_NodeId &dataTypeId)
{
    return UA_Server_writeDataType(stackServer(), stackNodeId(), dataTypeId) == UA_STATUSCODE_GOOD;
}

bool QUaBaseVariable::writeDataTypeOfQtType(QMetaType::Type type)
{
    UA_NodeId dataTypeId = QUaValueConverter::uaNodeIdFromQtType(type);
    const bool written = writeDataTypeAttribute(dataTypeId);
    UA_NodeId_clear(&dataTypeId);
    if (written)
        m_type = type;
    return written;
}

QVariant QUaBaseVariable::value() const
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_NEITHER);
    const QVariant result = toQtValue(dataValue.value);
    UA_DataValue_clear(&dataValue);
    return result;
}

void QUaBaseVariable::setValue(const QVariant &value, const QUaStatusCode &statusCode,
                               const QDateTime &sourceTimestamp, const QDateTime &serverTimestamp,
                               const QMetaType::Type &newTypeConst)
{
    QMetaType::Type newType = foldTypeAliases(newTypeConst);
    QVariant newValue = value;
    if (newType == QMetaType::UnknownType) {
        newType = typeForValue(newValue);
    } else {
        // The stack takes a new data type only when the stored value fits it.
        newValue = valueAsType(value, newType);
    }
    const bool typeChanges = newType != m_type;
    if (typeChanges) {
        // BaseDataType first, so that the stack takes a value of any type.
        writeDataTypeAttribute(kBaseDataType);
    }
    const bool written = writeProgramValue(newValue, statusCode, sourceTimestamp, serverTimestamp);
    if (typeChanges) {
        // A refused value leaves the variable with the type it had.
        writeDataTypeOfQtType(written ? newType : m_type);
    }
}

// The value keeps the variable's type when it converts to it (and is converted
// here); otherwise its own type, taken from its first element for a list,
// becomes the variable's.
QMetaType::Type QUaBaseVariable::typeForValue(QVariant &value) const
{
    if (!isList(value)) {
        const auto candidate = static_cast<QMetaType::Type>(value.userType());
        if (candidate == m_type) {
            return m_type;
        }
        // A failed conversion empties the variant it works on: try a copy.
        QVariant converted = value;
        if (converted.convert(m_type)) {
            value = converted;
            return m_type;
        }
        return value.isValid() ? candidate : m_type;
    }
    const QVariantList list = value.value<QVariantList>();
    if (list.isEmpty()) {
        return m_type; // no element to take a type from
    }
    const auto candidate = static_cast<QMetaType::Type>(list.first().userType());
    if (candidate == m_type || !list.first().canConvert(m_type)) {
        return candidate;
    }
    value = valueAsType(value, m_type);
    return m_type;
}

void QUaBaseVariable::setDataType(const QUaDataType &dataType)
{
    setDataType(static_cast<QMetaType::Type>(dataType));
}

void QUaBaseVariable::setDataType(const QMetaType::Type &type)
{
    const QMetaType::Type newType = foldTypeAliases(type);
    if (newType == m_type) {
        return;
    }
    // A variable without a value keeps none: no default nobody wrote.
    const QVariant current = value();
    if (!current.isValid()) {
        writeDataTypeOfQtType(newType);
        return;
    }
    const QUaStatusCode status = statusCode();
    writeDataTypeAttribute(kBaseDataType);
    writeProgramValue(valueAsType(current, newType), QUa::Status::Good, QDateTime(), QDateTime());
    if (writeDataTypeOfQtType(newType)) {
        return;
    }
    // Refused: the variable stays as it was, so dataType() tells the caller.
    writeProgramValue(current, status, QDateTime(), QDateTime());
    writeDataTypeOfQtType(m_type);
}

void QUaBaseVariable::setDataTypeEnum(const QMetaEnum &metaEnum)
{
    const QString enumName = QStringLiteral("%1::%2").arg(QString::fromLatin1(metaEnum.scope()),
                                                          QString::fromLatin1(metaEnum.name()));
    if (server()->enumNodeId(enumName).isNull()) {
        server()->registerEnum(metaEnum);
    }
    setEnumDataType(server()->enumNodeId(enumName));
}

bool QUaBaseVariable::setDataTypeEnum(const QString &enumName)
{
    const QUaNodeId enumTypeId = server()->enumNodeId(enumName);
    if (enumTypeId.isNull()) {
        return false;
    }
    setEnumDataType(enumTypeId);
    return true;
}

// Enumeration values are Int32: the value becomes an integer, the data type
// the enumeration. The stack changes a data type to an enumeration only while
// the variable holds no value, so the value is cleared (unreported) meanwhile.
void QUaBaseVariable::setEnumDataType(const QUaNodeId &enumTypeId)
{
    writeDataTypeAttribute(kBaseDataType);
    QVariant current = value();
    if (isList(current)) {
        const QVariantList list = current.value<QVariantList>();
        current = list.isEmpty() ? QVariant(0) : list.first();
    }
    clearValueSilently();
    writeDataTypeAttribute(QUaStack::ScopedNodeId(enumTypeId));
    writeProgramValue(convertedOrDefault(current, QMetaType::Int), QUa::Status::Good, QDateTime(),
                      QDateTime());
    m_type = QMetaType::Int;
}

void QUaBaseVariable::clearValueSilently()
{
    installWriteHook(false);
    UA_DataValue noValue;
    UA_DataValue_init(&noValue);
    writeDataValue(noValue);
    installWriteHook(true);
}

QUaStatusCode QUaBaseVariable::statusCode() const
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_SERVER);
    const QUaStatusCode status(dataValue.status);
    UA_DataValue_clear(&dataValue);
    return status;
}

void QUaBaseVariable::setStatusCode(const QUaStatusCode &statusCode)
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_BOTH);
    dataValue.status = statusCode;
    dataValue.hasStatus = true;
    writeProgramDataValue(dataValue);
    UA_DataValue_clear(&dataValue);
}

QDateTime QUaBaseVariable::sourceTimestamp() const
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_SOURCE);
    const QDateTime timestamp = QUaValueConverter::toQDateTime(dataValue.sourceTimestamp);
    UA_DataValue_clear(&dataValue);
    return timestamp;
}

void QUaBaseVariable::setSourceTimestamp(const QDateTime &sourceTimestamp)
{
    changeTimestamp(sourceTimestamp, true);
}

QDateTime QUaBaseVariable::serverTimestamp() const
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_SERVER);
    const QDateTime timestamp = QUaValueConverter::toQDateTime(dataValue.serverTimestamp);
    UA_DataValue_clear(&dataValue);
    return timestamp;
}

void QUaBaseVariable::setServerTimestamp(const QDateTime &serverTimestamp)
{
    changeTimestamp(serverTimestamp, false);
}

// Rewrites the stored data value with one timestamp changed; an invalid time
// leaves that timestamp out.
void QUaBaseVariable::changeTimestamp(const QDateTime &timestamp, bool isSource)
{
    UA_DataValue dataValue = readDataValue(UA_TIMESTAMPSTORETURN_BOTH);
    const UA_DateTime stackTime =
        timestamp.isValid() ? QUaValueConverter::toUaDateTime(timestamp) : 0;
    if (isSource) {
        dataValue.sourceTimestamp = stackTime;
        dataValue.hasSourceTimestamp = timestamp.isValid();
    } else {
        dataValue.serverTimestamp = stackTime;
        dataValue.hasServerTimestamp = timestamp.isValid();
    }
    writeProgramDataValue(dataValue);
    UA_DataValue_clear(&dataValue);
}

qint32 QUaBaseVariable::valueRank() const
{
    UA_Int32 valueRank = -1;
    UA_Server_readValueRank(stackServer(), stackNodeId(), &valueRank);
    return valueRank;
}

// The stack refuses a rank that the stored value does not fit.
void QUaBaseVariable::setValueRank(const qint32 &valueRank)
{
    if (valueRank != this->valueRank() &&
        UA_Server_writeValueRank(stackServer(), stackNodeId(), valueRank) == UA_STATUSCODE_GOOD) {
        emit valueRankChanged(valueRank);
    }
}

QVector<quint32> QUaBaseVariable::arrayDimensions() const
{
    UA_Variant dimensions;
    UA_Variant_init(&dimensions);
    UA_Server_readArrayDimensions(stackServer(), stackNodeId(), &dimensions);
    QVector<quint32> result;
    if (dimensions.type == &UA_TYPES[UA_TYPES_UINT32]) {
        const auto *lengths = static_cast<const UA_UInt32 *>(dimensions.data);
        for (size_t i = 0; i < dimensions.arrayLength; ++i) {
            result.append(lengths[i]);
        }
    }
    UA_Variant_clear(&dimensions);
    return result;
}

quint8 QUaBaseVariable::accessLevel() const
{
    UA_Byte accessLevel = 0;
    UA_Server_readAccessLevel(stackServer(), stackNodeId(), &accessLevel);
    return accessLevel;
}

void QUaBaseVariable::setAccessLevel(const quint8 &accessLevel)
{
    UA_Server_writeAccessLevel(stackServer(), stackNodeId(), accessLevel);
}

double QUaBaseVariable::minimumSamplingInterval() const
{
    UA_Double interval = 0.0;
    UA_Server_readMinimumSamplingInterval(stackServer(), stackNodeId(), &interval);
    return interval;
}

void QUaBaseVariable::setMinimumSamplingInterval(const double &minimumSamplingInterval)
{
    UA_Server_writeMinimumSamplingInterval(stackServer(), stackNodeId(), minimumSamplingInterval);
}

bool QUaBaseVariable::historizing() const
{
    UA_Boolean historizing = false;
    UA_Server_readHistorizing(stackServer(), stackNodeId(), &historizing);
    return historizing;
}

bool QUaBaseVariable::readAccess() const
{
    return accessLevel() & UA_ACCESSLEVELMASK_READ;
}

void QUaBaseVariable::setReadAccess(const bool &readAccess)
{
    setAccessBit(UA_ACCESSLEVELMASK_READ, readAccess);
}

bool QUaBaseVariable::writeAccess() const
{
    return accessLevel() & UA_ACCESSLEVELMASK_WRITE;
}

void QUaBaseVariable::setWriteAccess(const bool &writeAccess)
{
    setAccessBit(UA_ACCESSLEVELMASK_WRITE, writeAccess);
}

void QUaBaseVariable::setAccessBit(quint8 bit, bool on)
{
    const quint8 level = accessLevel();
    setAccessLevel(on ? quint8(level | bit) : quint8(level & ~bit));
}
