#include "quaqualifiedname.h"

QUaQualifiedName::QUaQualifiedName(quint16 namespaceIndex, const QString &name)
    : m_namespaceIndex(namespaceIndex), m_name(name)
{
}
QUaQualifiedName::QUaQualifiedName(const UA_QualifiedName &) {}
QUaQualifiedName::QUaQualifiedName(const QString &) {}
QUaQualifiedName::QUaQualifiedName(const char *) {}
QString QUaQualifiedName::toString() const
{
    return QString();
}
QUaQualifiedName::operator UA_QualifiedName() const
{
    return UA_QualifiedName{};
}
bool QUaQualifiedName::operator==(const QUaQualifiedName &other) const
{
    return m_namespaceIndex == other.m_namespaceIndex && m_name == other.m_name;
}
bool QUaQualifiedName::operator<(const QUaQualifiedName &) const
{
    return false;
}
uint qHash(const QUaQualifiedName &, uint seed)
{
    return seed;
}
