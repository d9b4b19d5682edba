#include "quaenums.h"

QString QUa::nodeClassName(UA_NodeClass)
{
    return QString();
}
void QUa::registerMetaTypes() {}
QUaStatusCode::QUaStatusCode(QUa::Status status) : m_code(static_cast<UA_StatusCode>(status)) {}
QUaStatusCode::QUaStatusCode(UA_StatusCode code) : m_code(code) {}
QUaStatusCode::QUaStatusCode(const QString &) : m_code(0) {}
QString QUaStatusCode::toString() const
{
    return QString();
}
QString QUaStatusCode::description() const
{
    return QString();
}
QUaDataType::QUaDataType(QMetaType::Type type) : m_type(type) {}
QUaDataType::QUaDataType(const QString &) : m_type(QMetaType::UnknownType) {}
QString QUaDataType::toString() const
{
    return QString();
}
