#ifndef QUASTACK_H
#define QUASTACK_H

#include <QList>

#include <open62541/server.h>

#include "quanodeid.h"
#include "quaqualifiedname.h"

// Small queries on the stack's address space that the object layer makes all
// over: browsing a node's references and testing whether a node exists.
namespace QUaStack
{

// A stack copy of a QUaNodeId for the duration of a scope, for stack calls
// that take a UA_NodeId.
class ScopedNodeId
{
public:
    explicit ScopedNodeId(const QUaNodeId &nodeId) : m_nodeId(nodeId) {}
    ~ScopedNodeId() { UA_NodeId_clear(&m_nodeId); }
    ScopedNodeId(const ScopedNodeId &) = delete;
    ScopedNodeId &operator=(const ScopedNodeId &) = delete;

    operator const UA_NodeId &() const { return m_nodeId; }
    const UA_NodeId *ptr() const { return &m_nodeId; }

private:
    UA_NodeId m_nodeId;
};

struct Reference {
    QUaNodeId targetId;
    QUaQualifiedName browseName;
};

// Every reference of the node in the direction, following continuation points
// to the end. A null reference type means any type; a zero class mask any class.
QList<Reference> browse(UA_Server *server, const UA_NodeId &nodeId, UA_BrowseDirection direction,
                        const UA_NodeId &referenceTypeId = UA_NODEID_NULL,
                        bool includeSubtypes = true, UA_UInt32 nodeClassMask = 0);

// The node's hierarchical parent (the source of its first inverse hierarchical
// reference), or the null node id.
QUaNodeId parentOf(UA_Server *server, const UA_NodeId &nodeId);

bool nodeExists(UA_Server *server, const UA_NodeId &nodeId);

} // namespace QUaStack

#endif // QUASTACK_H
