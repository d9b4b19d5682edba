#ifndef QUAVALUECONVERTER_H
#define QUAVALUECONVERTER_H

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUuid>
#include <QVariant>

#include <open62541/types.h>

// Whether an OPC UA array comes back as a QList<T> or a QVector<T>.
enum class QUaArrayKind { List = 0, Vector = 1 };

// Translation between Qt values and the stack's built-in types. Unsupported or
// unconvertible values become an empty UA_Variant or a null QVariant; an
// element that does not convert becomes the zero value of its type.
namespace QUaValueConverter
{

// The caller owns the result and frees it with UA_Variant_clear.
UA_Variant toUaVariant(const QVariant &value);
QVariant toQVariant(const UA_Variant &value, QUaArrayKind arrayKind = QUaArrayKind::List);

// OPC UA time: 100 ns ticks since 1601-01-01T00:00:00 UTC, kept to the millisecond.
UA_DateTime toUaDateTime(const QDateTime &dateTime);
QDateTime toQDateTime(const UA_DateTime &dateTime);

// UTF-8, copied up to the first NUL character; the caller owns the result.
UA_String toUaString(const QString &string);
QString toQString(const UA_String &string);

// A copy of all bytes; the caller owns the result.
UA_ByteString toUaByteString(const QByteArray &bytes);
QByteArray toQByteArray(const UA_ByteString &bytes);

UA_Guid toUaGuid(const QUuid &uuid);
QUuid toQUuid(const UA_Guid &guid);

// Lookups in the fixed type tables; unknown types give null results.
const UA_DataType *uaTypeFromQtType(QMetaType::Type type);
UA_NodeId uaNodeIdFromQtType(QMetaType::Type type);
QMetaType::Type qtTypeFromUaNodeId(const UA_NodeId *nodeId);
QMetaType::Type qtTypeFromUaType(const UA_DataType *type);
bool isSupportedQtType(QMetaType::Type type);
QString typeNameFromQtType(QMetaType::Type type);
QMetaType::Type qtTypeFromTypeName(const QString &typeName);

} // namespace QUaValueConverter

#endif // QUAVALUECONVERTER_H
