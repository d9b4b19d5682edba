#include "quanodeid.h"

QUaNodeId::QUaNodeId()
{
    UA_NodeId_init(&m_nodeId);
}
QUaNodeId::QUaNodeId(const UA_NodeId &nodeId)
{
    UA_NodeId_copy(&nodeId, &m_nodeId);
}
QUaNodeId::QUaNodeId(quint16 namespaceIndex, quint32 numericId)
    : m_nodeId(UA_NODEID_NUMERIC(namespaceIndex, numericId))
{
}
QUaNodeId::QUaNodeId(quint16, const QString &) : QUaNodeId() {}
QUaNodeId::QUaNodeId(quint16, const QUuid &) : QUaNodeId() {}
QUaNodeId::QUaNodeId(quint16, const QByteArray &) : QUaNodeId() {}
QUaNodeId::QUaNodeId(const QString &) : QUaNodeId() {}
QUaNodeId::QUaNodeId(const char *) : QUaNodeId() {}
QUaNodeId::QUaNodeId(const QUaNodeId &other)
{
    UA_NodeId_copy(&other.m_nodeId, &m_nodeId);
}
QUaNodeId::QUaNodeId(QUaNodeId &&other) noexcept : m_nodeId(other.m_nodeId)
{
    UA_NodeId_init(&other.m_nodeId);
}
QUaNodeId &QUaNodeId::operator=(const QUaNodeId &other)
{
    if (this != &other) {
        UA_NodeId_clear(&m_nodeId);
        UA_NodeId_copy(&other.m_nodeId, &m_nodeId);
    }
    return *this;
}
QUaNodeId &QUaNodeId::operator=(QUaNodeId &&other) noexcept
{
    std::swap(m_nodeId, other.m_nodeId);
    return *this;
}
QUaNodeId::~QUaNodeId()
{
    UA_NodeId_clear(&m_nodeId);
}
quint32 QUaNodeId::numericId() const
{
    return 0;
}
void QUaNodeId::setNumericId(quint32) {}
QString QUaNodeId::stringId() const
{
    return QString();
}
void QUaNodeId::setStringId(const QString &) {}
QUuid QUaNodeId::uuId() const
{
    return QUuid();
}
void QUaNodeId::setUuId(const QUuid &) {}
QByteArray QUaNodeId::byteStringId() const
{
    return QByteArray();
}
void QUaNodeId::setByteStringId(const QByteArray &) {}
bool QUaNodeId::isNull() const
{
    return UA_NodeId_isNull(&m_nodeId);
}
void QUaNodeId::clear() {}
QString QUaNodeId::toString() const
{
    return QString();
}
QUaNodeId::operator UA_NodeId() const
{
    UA_NodeId copy;
    UA_NodeId_copy(&m_nodeId, &copy);
    return copy;
}
bool QUaNodeId::operator==(const QUaNodeId &other) const
{
    return UA_NodeId_order(&m_nodeId, &other.m_nodeId) == UA_ORDER_EQ;
}
bool QUaNodeId::operator<(const QUaNodeId &) const
{
    return false;
}
void QUaNodeId::replaceIdentifier(UA_NodeId) {}
uint qHash(const QUaNodeId &, uint seed)
{
    return seed;
}
