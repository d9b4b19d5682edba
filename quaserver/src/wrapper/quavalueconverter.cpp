#include "quavalueconverter.h"

#include <QHash>
#include <QList>
#include <QSequentialIterable>
#include <QVector>

#include <cstring>
#include <functional>
#include <limits>

#include "quaenums.h"
#include "qualocalizedtext.h"
#include "quanodeid.h"
#include "quaqualifiedname.h"

namespace
{

struct QtTypeRecord {
    QString name;
    UA_NodeId dataTypeNodeId;
    const UA_DataType *uaType;
};

// The four fixed lookup tables between Qt types and the stack's types.
struct TypeTables {
    QHash<int, QtTypeRecord> byQtType;
    QHash<QUaNodeId, int> qtTypeByDataTypeNodeId;
    QHash<int, int> qtTypeByUaTypeIndex;
    QHash<QString, int> qtTypeByName;

    TypeTables()
    {
        // The object layer's own types get their Qt type ids here.
        const int nodeIdType = qRegisterMetaType<QUaNodeId>("QUaNodeId");
        const int statusCodeType = qRegisterMetaType<QUaStatusCode>("QUaStatusCode");
        const int qualifiedNameType = qRegisterMetaType<QUaQualifiedName>("QUaQualifiedName");
        const int localizedTextType = qRegisterMetaType<QUaLocalizedText>("QUaLocalizedText");

        addQtType(QMetaType::Bool, "Bool", UA_NS0ID_BOOLEAN, UA_TYPES_BOOLEAN);
        addQtType(QMetaType::Char, "Char", UA_NS0ID_SBYTE, UA_TYPES_SBYTE);
        addQtType(QMetaType::SChar, "SChar", UA_NS0ID_SBYTE, UA_TYPES_SBYTE);
        addQtType(QMetaType::UChar, "UChar", UA_NS0ID_BYTE, UA_TYPES_BYTE);
        addQtType(QMetaType::Short, "Short", UA_NS0ID_INT16, UA_TYPES_INT16);
        addQtType(QMetaType::UShort, "UShort", UA_NS0ID_UINT16, UA_TYPES_UINT16);
        addQtType(QMetaType::Int, "Int", UA_NS0ID_INT32, UA_TYPES_INT32);
        addQtType(QMetaType::UInt, "UInt", UA_NS0ID_UINT32, UA_TYPES_UINT32);
        addQtType(QMetaType::Long, "Long", UA_NS0ID_INT64, UA_TYPES_INT64);
        addQtType(QMetaType::LongLong, "LongLong", UA_NS0ID_INT64, UA_TYPES_INT64);
        addQtType(QMetaType::ULong, "ULong", UA_NS0ID_UINT64, UA_TYPES_UINT64);
        addQtType(QMetaType::ULongLong, "ULongLong", UA_NS0ID_UINT64, UA_TYPES_UINT64);
        addQtType(QMetaType::Float, "Float", UA_NS0ID_FLOAT, UA_TYPES_FLOAT);
        addQtType(QMetaType::Double, "Double", UA_NS0ID_DOUBLE, UA_TYPES_DOUBLE);
        addQtType(QMetaType::QString, "QString", UA_NS0ID_STRING, UA_TYPES_STRING);
        addQtType(QMetaType::QDateTime, "QDateTime", UA_NS0ID_DATETIME, UA_TYPES_DATETIME);
        addQtType(QMetaType::QUuid, "QUuid", UA_NS0ID_GUID, UA_TYPES_GUID);
        addQtType(QMetaType::QByteArray, "QByteArray", UA_NS0ID_BYTESTRING, UA_TYPES_BYTESTRING);
        addQtType(QMetaType::QVariant, "QVariant", UA_NS0ID_BASEDATATYPE, UA_TYPES_VARIANT);
        addQtType(QMetaType::UnknownType, "UnknownType", UA_NS0ID_BASEDATATYPE, UA_TYPES_VARIANT);
        addQtType(nodeIdType, "QUaNodeId", UA_NS0ID_NODEID, UA_TYPES_NODEID);
        addQtType(statusCodeType, "QUaStatusCode", UA_NS0ID_STATUSCODE, UA_TYPES_STATUSCODE);
        addQtType(qualifiedNameType, "QUaQualifiedName", UA_NS0ID_QUALIFIEDNAME,
                  UA_TYPES_QUALIFIEDNAME);
        addQtType(localizedTextType, "QUaLocalizedText", UA_NS0ID_LOCALIZEDTEXT,
                  UA_TYPES_LOCALIZEDTEXT);

        // Several Qt types share one OPC UA type; reading back picks one of them.
        const QList<QPair<quint32, int>> qtTypeByNodeId = {
            {UA_NS0ID_BOOLEAN, QMetaType::Bool},
            {UA_NS0ID_SBYTE, QMetaType::Char},
            {UA_NS0ID_BYTE, QMetaType::UChar},
            {UA_NS0ID_INT16, QMetaType::Short},
            {UA_NS0ID_UINT16, QMetaType::UShort},
            {UA_NS0ID_INT32, QMetaType::Int},
            {UA_NS0ID_UINT32, QMetaType::UInt},
            {UA_NS0ID_INT64, QMetaType::Long},
            {UA_NS0ID_UINT64, QMetaType::ULong},
            {UA_NS0ID_FLOAT, QMetaType::Float},
            {UA_NS0ID_DOUBLE, QMetaType::Double},
            {UA_NS0ID_STRING, QMetaType::QString},
            {UA_NS0ID_DATETIME, QMetaType::QDateTime},
            {UA_NS0ID_UTCTIME, QMetaType::QDateTime},
            {UA_NS0ID_GUID, QMetaType::QUuid},
            {UA_NS0ID_BYTESTRING, QMetaType::QByteArray},
            {UA_NS0ID_BASEDATATYPE, QMetaType::QVariant},
            {UA_NS0ID_NODEID, nodeIdType},
            {UA_NS0ID_STATUSCODE, statusCodeType},
            {UA_NS0ID_QUALIFIEDNAME, qualifiedNameType},
            {UA_NS0ID_LOCALIZEDTEXT, localizedTextType},
        };
        for (const auto &entry : qtTypeByNodeId)
            qtTypeByDataTypeNodeId.insert(QUaNodeId(0, entry.first), entry.second);

        qtTypeByUaTypeIndex = {
            {UA_TYPES_BOOLEAN, QMetaType::Bool},
            {UA_TYPES_SBYTE, QMetaType::Char},
            {UA_TYPES_BYTE, QMetaType::UChar},
            {UA_TYPES_INT16, QMetaType::Short},
            {UA_TYPES_UINT16, QMetaType::UShort},
            {UA_TYPES_INT32, QMetaType::Int},
            {UA_TYPES_UINT32, QMetaType::UInt},
            {UA_TYPES_INT64, QMetaType::Long},
            {UA_TYPES_UINT64, QMetaType::ULong},
            {UA_TYPES_FLOAT, QMetaType::Float},
            {UA_TYPES_DOUBLE, QMetaType::Double},
            {UA_TYPES_STRING, QMetaType::QString},
            {UA_TYPES_DATETIME, QMetaType::QDateTime},
            {UA_TYPES_GUID, QMetaType::QUuid},
            {UA_TYPES_BYTESTRING, QMetaType::QByteArray},
            {UA_TYPES_VARIANT, QMetaType::QVariant},
            {UA_TYPES_NODEID, nodeIdType},
            {UA_TYPES_STATUSCODE, statusCodeType},
            {UA_TYPES_QUALIFIEDNAME, qualifiedNameType},
            {UA_TYPES_LOCALIZEDTEXT, localizedTextType},
        };
    }

    void addQtType(int qtType, const char *name, quint32 dataTypeId, int uaTypeIndex)
    {
        byQtType.insert(qtType, {QString::fromLatin1(name), UA_NODEID_NUMERIC(0, dataTypeId),
                                 &UA_TYPES[uaTypeIndex]});
        qtTypeByName.insert(QString::fromLatin1(name), qtType);
    }
};

const TypeTables &tables()
{
    static const TypeTables built;
    return built;
}

// The tables are read-only once built; building them before main keeps the
// meta-type ids of the object layer's types available from the start.
[[maybe_unused]] const TypeTables &tablesBuiltBeforeMain = tables();

// The stack's zero time, 1601-01-01T00:00:00.000 UTC.
const QDateTime &uaEpoch()
{
    static const QDateTime epoch(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch;
}

// The position of a descriptor in UA_TYPES, or -1 for any other descriptor.
// (The stack's descriptors carry no index of their own.)
int uaTypeIndex(const UA_DataType *type)
{
    const std::less<const UA_DataType *> before;
    if (!type || before(type, &UA_TYPES[0]) || !before(type, &UA_TYPES[UA_TYPES_COUNT]))
        return -1;
    return int(type - &UA_TYPES[0]);
}

// Reads the value as T: in place when it already holds a T, otherwise through
// Qt's conversion into a local; a failed conversion gives T's default.
template <typename T> T readAs(const QVariant &value)
{
    const int typeId = qMetaTypeId<T>();
    if (value.userType() == typeId)
        return *static_cast<const T *>(value.constData());
    QVariant converted(value);
    return converted.convert(typeId) ? *static_cast<const T *>(converted.constData()) : T();
}

// Qt offers no conversion of QUaStatusCode to an integer, so the code is
// taken from the status code itself; other values are read as UInt32.
UA_StatusCode readStatusCode(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QUaStatusCode>())
        return *static_cast<const QUaStatusCode *>(value.constData());
    return readAs<quint32>(value);
}

UA_DateTime readUaDateTime(const QVariant &value)
{
    const QDateTime dateTime = readAs<QDateTime>(value);
    return dateTime.isValid() ? QUaValueConverter::toUaDateTime(dateTime) : 0;
}

template <typename UaT> void store(void *target, const UaT &value)
{
    *static_cast<UaT *>(target) = value;
}

// Writes the value as one element of the given stack type into memory that
// the stack has allocated and zeroed. Elements of other types (Variant) stay
// empty.
void writeElement(const QVariant &value, const UA_DataType *type, void *target)
{
    using namespace QUaValueConverter;
    switch (uaTypeIndex(type)) {
    case UA_TYPES_BOOLEAN:
        store<UA_Boolean>(target, readAs<bool>(value));
        break;
    case UA_TYPES_SBYTE:
        store<UA_SByte>(target, readAs<char>(value));
        break;
    case UA_TYPES_BYTE:
        store<UA_Byte>(target, readAs<uchar>(value));
        break;
    case UA_TYPES_INT16:
        store<UA_Int16>(target, readAs<short>(value));
        break;
    case UA_TYPES_UINT16:
        store<UA_UInt16>(target, readAs<ushort>(value));
        break;
    case UA_TYPES_INT32:
        store<UA_Int32>(target, readAs<int>(value));
        break;
    case UA_TYPES_UINT32:
        store<UA_UInt32>(target, readAs<uint>(value));
        break;
    case UA_TYPES_INT64:
        store<UA_Int64>(target, readAs<qlonglong>(value));
        break;
    case UA_TYPES_UINT64:
        store<UA_UInt64>(target, readAs<qulonglong>(value));
        break;
    case UA_TYPES_FLOAT:
        store<UA_Float>(target, readAs<float>(value));
        break;
    case UA_TYPES_DOUBLE:
        store<UA_Double>(target, readAs<double>(value));
        break;
    case UA_TYPES_STRING:
        store<UA_String>(target, toUaString(readAs<QString>(value)));
        break;
    case UA_TYPES_DATETIME:
        store<UA_DateTime>(target, readUaDateTime(value));
        break;
    case UA_TYPES_GUID:
        store<UA_Guid>(target, toUaGuid(readAs<QUuid>(value)));
        break;
    case UA_TYPES_BYTESTRING:
        store<UA_ByteString>(target, toUaByteString(readAs<QByteArray>(value)));
        break;
    case UA_TYPES_NODEID:
        store<UA_NodeId>(target, readAs<QUaNodeId>(value));
        break;
    case UA_TYPES_STATUSCODE:
        store<UA_StatusCode>(target, readStatusCode(value));
        break;
    case UA_TYPES_QUALIFIEDNAME:
        store<UA_QualifiedName>(target, readAs<QUaQualifiedName>(value));
        break;
    case UA_TYPES_LOCALIZEDTEXT:
        store<UA_LocalizedText>(target, readAs<QUaLocalizedText>(value));
        break;
    default:
        break;
    }
}

// The Qt type a value is converted by: its user type for user types.
QMetaType::Type qtTypeOf(const QVariant &value)
{
    return static_cast<QMetaType::Type>(value.userType());
}

UA_Variant scalarToUaVariant(const QVariant &value)
{
    UA_Variant result;
    UA_Variant_init(&result);
    const UA_DataType *type = QUaValueConverter::uaTypeFromQtType(qtTypeOf(value));
    // Unknown types and variants in variants have no scalar form.
    if (!type || type == &UA_TYPES[UA_TYPES_VARIANT])
        return result;
    void *scalar = UA_new(type);
    writeElement(value, type, scalar);
    UA_Variant_setScalar(&result, scalar, type);
    return result;
}

// The element type is taken from the first element; the others are
// converted to it.
UA_Variant listToUaVariant(const QVariant &value)
{
    UA_Variant result;
    UA_Variant_init(&result);
    const QSequentialIterable items = value.value<QSequentialIterable>();
    const int count = items.size();
    if (count <= 0)
        return result;
    const QMetaType::Type elementType = qtTypeOf(items.at(0));
    const UA_DataType *type = QUaValueConverter::uaTypeFromQtType(elementType);
    // An invalid first element gives an array of empty variants.
    const bool emptyElements = elementType == QMetaType::UnknownType;
    if (!type || (type == &UA_TYPES[UA_TYPES_VARIANT] && !emptyElements))
        return result;
    void *array = UA_Array_new(size_t(count), type);
    if (!emptyElements) {
        auto *element = static_cast<char *>(array);
        for (const QVariant &item : items) {
            writeElement(item, type, element);
            element += type->memSize;
        }
    }
    UA_Variant_setArray(&result, array, size_t(count), type);
    result.arrayDimensions = static_cast<UA_UInt32 *>(UA_Array_new(1, &UA_TYPES[UA_TYPES_UINT32]));
    result.arrayDimensions[0] = UA_UInt32(count);
    result.arrayDimensionsSize = 1;
    return result;
}

// Readers of one stack element into its Qt value.
template <typename T> using ElementReader = T (*)(const void *);

template <typename T, typename UaT> T readPlain(const void *element)
{
    return T(*static_cast<const UaT *>(element));
}
QString readString(const void *element)
{
    return QUaValueConverter::toQString(*static_cast<const UA_String *>(element));
}
QByteArray readByteString(const void *element)
{
    return QUaValueConverter::toQByteArray(*static_cast<const UA_ByteString *>(element));
}
QDateTime readDateTime(const void *element)
{
    return QUaValueConverter::toQDateTime(*static_cast<const UA_DateTime *>(element));
}
QUuid readGuid(const void *element)
{
    return QUaValueConverter::toQUuid(*static_cast<const UA_Guid *>(element));
}

template <template <typename> class Container, typename T>
QVariant arrayToContainer(const UA_Variant &value, ElementReader<T> read)
{
    Container<T> items;
    items.reserve(int(value.arrayLength));
    const auto *element = static_cast<const char *>(value.data);
    for (size_t i = 0; i < value.arrayLength; ++i, element += value.type->memSize)
        items.append(read(element));
    return QVariant::fromValue(items);
}

template <typename T>
QVariant uaVariantToQt(const UA_Variant &value, QUaArrayKind arrayKind, ElementReader<T> read)
{
    if (UA_Variant_isScalar(&value))
        return QVariant::fromValue(read(value.data));
    switch (arrayKind) {
    case QUaArrayKind::List:
        return arrayToContainer<QList>(value, read);
    case QUaArrayKind::Vector:
        return arrayToContainer<QVector>(value, read);
    }
    return QVariant();
}

bool isValidArrayKind(QUaArrayKind arrayKind)
{
    return arrayKind == QUaArrayKind::List || arrayKind == QUaArrayKind::Vector;
}

QVariant variantArrayToQt(const UA_Variant &value, QUaArrayKind arrayKind)
{
    QVariantList items;
    items.reserve(int(value.arrayLength));
    const auto *elements = static_cast<const UA_Variant *>(value.data);
    for (size_t i = 0; i < value.arrayLength; ++i)
        items.append(QUaValueConverter::toQVariant(elements[i], arrayKind));
    return items;
}

} // namespace

namespace QUaValueConverter
{

UA_Variant toUaVariant(const QVariant &value)
{
    if (value.canConvert<QVariantList>())
        return listToUaVariant(value);
    return scalarToUaVariant(value);
}

QVariant toQVariant(const UA_Variant &value, QUaArrayKind arrayKind)
{
    if (UA_Variant_isEmpty(&value))
        return QVariant();
    const bool scalar = UA_Variant_isScalar(&value);
    if (!scalar && !isValidArrayKind(arrayKind))
        return QVariant();
    switch (uaTypeIndex(value.type)) {
    case UA_TYPES_BOOLEAN:
        return uaVariantToQt(value, arrayKind, readPlain<bool, UA_Boolean>);
    case UA_TYPES_SBYTE:
        return uaVariantToQt(value, arrayKind, readPlain<qint8, UA_SByte>);
    case UA_TYPES_BYTE:
        return uaVariantToQt(value, arrayKind, readPlain<quint8, UA_Byte>);
    case UA_TYPES_INT16:
        return uaVariantToQt(value, arrayKind, readPlain<qint16, UA_Int16>);
    case UA_TYPES_UINT16:
        return uaVariantToQt(value, arrayKind, readPlain<quint16, UA_UInt16>);
    case UA_TYPES_INT32:
        return uaVariantToQt(value, arrayKind, readPlain<qint32, UA_Int32>);
    case UA_TYPES_UINT32:
        return uaVariantToQt(value, arrayKind, readPlain<quint32, UA_UInt32>);
    case UA_TYPES_INT64:
        return uaVariantToQt(value, arrayKind, readPlain<qint64, UA_Int64>);
    case UA_TYPES_UINT64:
        return uaVariantToQt(value, arrayKind, readPlain<quint64, UA_UInt64>);
    case UA_TYPES_FLOAT:
        return uaVariantToQt(value, arrayKind, readPlain<float, UA_Float>);
    case UA_TYPES_DOUBLE:
        return uaVariantToQt(value, arrayKind, readPlain<double, UA_Double>);
    case UA_TYPES_STRING:
        return uaVariantToQt(value, arrayKind, readString);
    case UA_TYPES_DATETIME:
        return uaVariantToQt(value, arrayKind, readDateTime);
    case UA_TYPES_GUID:
        return uaVariantToQt(value, arrayKind, readGuid);
    case UA_TYPES_BYTESTRING:
        return uaVariantToQt(value, arrayKind, readByteString);
    case UA_TYPES_NODEID:
        return uaVariantToQt(value, arrayKind, readPlain<QUaNodeId, UA_NodeId>);
    case UA_TYPES_QUALIFIEDNAME:
        return uaVariantToQt(value, arrayKind, readPlain<QUaQualifiedName, UA_QualifiedName>);
    case UA_TYPES_LOCALIZEDTEXT:
        return uaVariantToQt(value, arrayKind, readPlain<QUaLocalizedText, UA_LocalizedText>);
    case UA_TYPES_STATUSCODE:
        // A single code comes back as a plain UInt, a list as status codes.
        if (scalar)
            return QVariant::fromValue(*static_cast<const UA_StatusCode *>(value.data));
        return uaVariantToQt(value, arrayKind, readPlain<QUaStatusCode, UA_StatusCode>);
    case UA_TYPES_UTCTIME:
        return scalar ? QVariant(readDateTime(value.data)) : QVariant();
    case UA_TYPES_VARIANT:
        return scalar ? QVariant() : variantArrayToQt(value, arrayKind);
    default:
        return QVariant();
    }
}

UA_DateTime toUaDateTime(const QDateTime &dateTime)
{
    // Times beyond the range of OPC UA time are clamped to its limits
    // instead of overflowing.
    constexpr qint64 maxMSecs = std::numeric_limits<UA_DateTime>::max() / UA_DATETIME_MSEC;
    const qint64 epoch = uaEpoch().toMSecsSinceEpoch();
    const qint64 mSecs = qBound(epoch - maxMSecs, dateTime.toMSecsSinceEpoch(), epoch + maxMSecs);
    return (mSecs - epoch) * UA_DATETIME_MSEC;
}

QDateTime toQDateTime(const UA_DateTime &dateTime)
{
    return uaEpoch().addMSecs(dateTime / UA_DATETIME_MSEC);
}

UA_String toUaString(const QString &string)
{
    return UA_String_fromChars(string.toUtf8().constData());
}

// A null stack string gives a null QString, an empty one an empty QString.
QString toQString(const UA_String &string)
{
    if (!string.data)
        return QString();
    if (string.length == 0)
        return QString(QLatin1String(""));
    return QString::fromUtf8(reinterpret_cast<const char *>(string.data), int(string.length));
}

// Null and empty stay apart both ways, as for strings.
UA_ByteString toUaByteString(const QByteArray &bytes)
{
    UA_ByteString result;
    UA_ByteString_init(&result);
    if (bytes.isNull())
        return result;
    const UA_ByteString borrowed{size_t(bytes.size()),
                                 reinterpret_cast<UA_Byte *>(const_cast<char *>(bytes.data()))};
    UA_ByteString_copy(&borrowed, &result);
    return result;
}

QByteArray toQByteArray(const UA_ByteString &bytes)
{
    if (!bytes.data)
        return QByteArray();
    if (bytes.length == 0)
        return QByteArray("", 0);
    return QByteArray(reinterpret_cast<const char *>(bytes.data), int(bytes.length));
}

UA_Guid toUaGuid(const QUuid &uuid)
{
    UA_Guid guid;
    guid.data1 = uuid.data1;
    guid.data2 = uuid.data2;
    guid.data3 = uuid.data3;
    std::memcpy(guid.data4, uuid.data4, sizeof(guid.data4));
    return guid;
}

QUuid toQUuid(const UA_Guid &guid)
{
    return QUuid(guid.data1, guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2],
                 guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
}

const UA_DataType *uaTypeFromQtType(QMetaType::Type type)
{
    const auto record = tables().byQtType.constFind(type);
    return record == tables().byQtType.cend() ? nullptr : record->uaType;
}

UA_NodeId uaNodeIdFromQtType(QMetaType::Type type)
{
    const auto record = tables().byQtType.constFind(type);
    return record == tables().byQtType.cend() ? UA_NODEID_NULL : record->dataTypeNodeId;
}

QMetaType::Type qtTypeFromUaNodeId(const UA_NodeId *nodeId)
{
    if (!nodeId)
        return QMetaType::UnknownType;
    return static_cast<QMetaType::Type>(
        tables().qtTypeByDataTypeNodeId.value(QUaNodeId(*nodeId), QMetaType::UnknownType));
}

QMetaType::Type qtTypeFromUaType(const UA_DataType *type)
{
    return static_cast<QMetaType::Type>(
        tables().qtTypeByUaTypeIndex.value(uaTypeIndex(type), QMetaType::UnknownType));
}

bool isSupportedQtType(QMetaType::Type type)
{
    return tables().byQtType.contains(type);
}

QString typeNameFromQtType(QMetaType::Type type)
{
    const auto record = tables().byQtType.constFind(type);
    return record == tables().byQtType.cend() ? QStringLiteral("UnknownType") : record->name;
}

QMetaType::Type qtTypeFromTypeName(const QString &typeName)
{
    return static_cast<QMetaType::Type>(
        tables().qtTypeByName.value(typeName, QMetaType::UnknownType));
}

} // namespace QUaValueConverter
