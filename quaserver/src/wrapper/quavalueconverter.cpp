#include "quavalueconverter.h"

namespace QUaValueConverter
{
UA_Variant toUaVariant(const QVariant &)
{
    UA_Variant v;
    UA_Variant_init(&v);
    return v;
}
QVariant toQVariant(const UA_Variant &, QUaArrayKind)
{
    return QVariant();
}
UA_DateTime toUaDateTime(const QDateTime &)
{
    return 0;
}
QDateTime toQDateTime(const UA_DateTime &)
{
    return QDateTime();
}
UA_String toUaString(const QString &)
{
    return UA_String{};
}
QString toQString(const UA_String &)
{
    return QString();
}
UA_ByteString toUaByteString(const QByteArray &)
{
    return UA_ByteString{};
}
QByteArray toQByteArray(const UA_ByteString &)
{
    return QByteArray();
}
UA_Guid toUaGuid(const QUuid &)
{
    return UA_Guid{};
}
QUuid toQUuid(const UA_Guid &)
{
    return QUuid();
}
const UA_DataType *uaTypeFromQtType(QMetaType::Type)
{
    return nullptr;
}
UA_NodeId uaNodeIdFromQtType(QMetaType::Type)
{
    return UA_NodeId{};
}
QMetaType::Type qtTypeFromUaNodeId(const UA_NodeId *)
{
    return QMetaType::UnknownType;
}
QMetaType::Type qtTypeFromUaType(const UA_DataType *)
{
    return QMetaType::UnknownType;
}
bool isSupportedQtType(QMetaType::Type)
{
    return false;
}
QString typeNameFromQtType(QMetaType::Type)
{
    return QString();
}
QMetaType::Type qtTypeFromTypeName(const QString &)
{
    return QMetaType::UnknownType;
}
} // namespace QUaValueConverter
