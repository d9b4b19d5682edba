#include "quanode.h"

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "quastack.h"

namespace
{

bool isModellingRule(const QUaNodeId &nodeId)
{
    return nodeId == QUaNodeId(0, UA_NS0ID_MODELLINGRULE_MANDATORY) ||
           nodeId == QUaNodeId(0, UA_NS0ID_MODELLINGRULE_OPTIONAL);
}

UA_ExpandedNodeId expandedOf(const UA_NodeId &nodeId)
{
    UA_ExpandedNodeId expanded;
    UA_ExpandedNodeId_init(&expanded);
    expanded.nodeId = nodeId; // shallow: never cleared
    return expanded;
}

using LocalizedTextWriter = UA_StatusCode (*)(UA_Server *, const UA_NodeId, const UA_LocalizedText);

// Whether the stack took the text for the attribute of the writer.
bool writeLocalizedText(LocalizedTextWriter writer, UA_Server *server, const UA_NodeId &nodeId,
                        const QUaLocalizedText &text)
{
    UA_LocalizedText stackText = text;
    const UA_StatusCode status = writer(server, nodeId, stackText);
    UA_LocalizedText_clear(&stackText);
    return status == UA_STATUSCODE_GOOD;
}

} // namespace

QUaNode::QUaNode(QUaServer *server) : QObject(nullptr), m_qUaServer(server)
{
    if (!server || !server->m_newNodeNodeId || !server->m_newNodeMetaObject) {
        qFatal("QUaNode: node objects are made by their server for a node it has just created");
    }
    UA_NodeId_copy(server->m_newNodeNodeId, &m_nodeId);
    UA_Server_setNodeContext(server->m_server, m_nodeId, this);
    server->m_nodeObjects.insert(this);
    const UA_NodeId objectsFolderId = UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER);
    if (!UA_NodeId_equal(&m_nodeId, &objectsFolderId)) {
        bindTypeChildren(*server->m_newNodeMetaObject);
    }
}

// Leaves first: every child object (and with it its nodes) goes before this
// node; then this node leaves the stack, unless the stack has removed it.
QUaNode::~QUaNode()
{
    while (!children().isEmpty()) {
        delete children().first();
    }
    // A parent being destroyed is no QUaNode any more by now: it needs no news.
    if (auto *owner = qobject_cast<QUaNode *>(parent())) {
        owner->unbindChild(this);
    }
    m_qUaServer->m_nodeObjects.remove(this);
    if (isBoundToStack()) {
        // Cleared first, so that the stack's destructor callback finds no
        // object for this node and schedules no second deletion.
        UA_Server_setNodeContext(m_qUaServer->m_server, m_nodeId, nullptr);
        UA_Server_deleteNode(m_qUaServer->m_server, m_nodeId, true);
    }
    UA_NodeId_clear(&m_nodeId);
}

// The stack makes a type's children before their parent, so their objects
// exist already; the mandatory ones are bound here by browse name.
void QUaNode::bindTypeChildren(const QMetaObject &metaObject)
{
    QHash<QUaQualifiedName, QUaNodeId> childIds;
    const QList<QUaStack::Reference> children =
        QUaStack::browse(stackServer(), m_nodeId, UA_BROWSEDIRECTION_FORWARD, UA_NODEID_NULL, true,
                         UA_NODECLASS_OBJECT | UA_NODECLASS_VARIABLE);
    for (const QUaStack::Reference &child : children) {
        if (!isModellingRule(child.targetId)) {
            childIds.insert(child.browseName, child.targetId);
        }
    }
    const QUaNodeId typeNodeId = m_qUaServer->typeIdOfClass(metaObject);
    for (const QUaQualifiedName &browseName : m_qUaServer->mandatoryChildren(typeNodeId)) {
        QUaNode *child = m_qUaServer->nodeById(childIds.value(browseName));
        if (child && child->parent() != this) {
            bindChild(child);
        }
    }
}

void QUaNode::bindChild(QUaNode *child)
{
    child->setParent(this);
    m_browseNames.insert(child->browseName(), child);
}

// Called by a bound child as it goes: a connection per child would cost every
// node of a large address space its own connection data.
void QUaNode::unbindChild(QUaNode *child)
{
    const auto bound = m_browseNames.find(child->browseName());
    if (bound != m_browseNames.end() && bound.value() == child) {
        m_browseNames.erase(bound);
    }
}

bool QUaNode::isBoundToStack() const
{
    void *context = nullptr;
    return UA_Server_getNodeContext(m_qUaServer->m_server, m_nodeId, &context) ==
               UA_STATUSCODE_GOOD &&
           context == this;
}

UA_Server *QUaNode::stackServer() const
{
    return m_qUaServer->m_server;
}

QUaLocalizedText QUaNode::displayName() const
{
    UA_LocalizedText text;
    UA_LocalizedText_init(&text);
    UA_Server_readDisplayName(stackServer(), m_nodeId, &text);
    const QUaLocalizedText result(text);
    UA_LocalizedText_clear(&text);
    return result;
}

void QUaNode::setDisplayName(const QUaLocalizedText &displayName)
{
    if (writeLocalizedText(&UA_Server_writeDisplayName, stackServer(), m_nodeId, displayName)) {
        emit displayNameChanged(displayName);
    }
}

QUaLocalizedText QUaNode::description() const
{
    UA_LocalizedText text;
    UA_LocalizedText_init(&text);
    UA_Server_readDescription(stackServer(), m_nodeId, &text);
    const QUaLocalizedText result(text);
    UA_LocalizedText_clear(&text);
    return result;
}

void QUaNode::setDescription(const QUaLocalizedText &description)
{
    if (writeLocalizedText(&UA_Server_writeDescription, stackServer(), m_nodeId, description)) {
        emit descriptionChanged(description);
    }
}

quint32 QUaNode::writeMask() const
{
    UA_UInt32 mask = 0;
    UA_Server_readWriteMask(stackServer(), m_nodeId, &mask);
    return mask;
}

void QUaNode::setWriteMask(const quint32 &writeMask)
{
    if (UA_Server_writeWriteMask(stackServer(), m_nodeId, writeMask) == UA_STATUSCODE_GOOD) {
        emit writeMaskChanged(writeMask);
    }
}

QString QUaNode::nodeClass() const
{
    UA_NodeClass nodeClass = UA_NODECLASS_UNSPECIFIED;
    UA_Server_readNodeClass(stackServer(), m_nodeId, &nodeClass);
    return QUa::nodeClassName(nodeClass);
}

QUaQualifiedName QUaNode::browseName() const
{
    if (m_browseName.isEmpty()) {
        UA_QualifiedName name;
        UA_QualifiedName_init(&name);
        UA_Server_readBrowseName(stackServer(), m_nodeId, &name);
        m_browseName = QUaQualifiedName(name);
        UA_QualifiedName_clear(&name);
    }
    return m_browseName;
}

QUaNodeId QUaNode::typeDefinitionNodeId() const
{
    if (m_typeDefinitionNodeId.isNull()) {
        const QList<QUaStack::Reference> types =
            QUaStack::browse(stackServer(), m_nodeId, UA_BROWSEDIRECTION_FORWARD,
                             UA_NODEID_NUMERIC(0, UA_NS0ID_HASTYPEDEFINITION));
        if (!types.isEmpty()) {
            m_typeDefinitionNodeId = types.first().targetId;
        }
    }
    return m_typeDefinitionNodeId;
}

QString QUaNode::typeDefinitionDisplayName() const
{
    const QUaNodeId typeNodeId = typeDefinitionNodeId();
    if (typeNodeId.isNull()) {
        return QString();
    }
    UA_LocalizedText text;
    UA_LocalizedText_init(&text);
    UA_Server_readDisplayName(stackServer(), QUaStack::ScopedNodeId(typeNodeId), &text);
    const QString result = QUaLocalizedText(text).text();
    UA_LocalizedText_clear(&text);
    return result;
}

QString QUaNode::className() const
{
    return QString::fromLatin1(metaObject()->className());
}

QUaNode *QUaNode::browseChild(const QUaQualifiedName &browseName) const
{
    return m_browseNames.value(browseName);
}

bool QUaNode::hasChild(const QUaQualifiedName &browseName) const
{
    return browseChild(browseName) != nullptr;
}

QUaNode *QUaNode::addChild(const QMetaObject &metaObject, const QUaQualifiedName &browseName,
                           const QUaNodeId &nodeId)
{
    const QUaNodeId newNodeId = m_qUaServer->createInstance(metaObject, this, browseName, nodeId);
    return newNodeId.isNull() ? nullptr : m_qUaServer->nodeById(newNodeId);
}

QUaProperty *QUaNode::addProperty(const QUaQualifiedName &browseName, const QUaNodeId &nodeId)
{
    return addChild<QUaProperty>(browseName, nodeId);
}

QUaBaseDataVariable *QUaNode::addBaseDataVariable(const QUaQualifiedName &browseName,
                                                  const QUaNodeId &nodeId)
{
    return addChild<QUaBaseDataVariable>(browseName, nodeId);
}

QUaBaseObject *QUaNode::addBaseObject(const QUaQualifiedName &browseName, const QUaNodeId &nodeId)
{
    return addChild<QUaBaseObject>(browseName, nodeId);
}

QUaFolderObject *QUaNode::addFolderObject(const QUaQualifiedName &browseName,
                                          const QUaNodeId &nodeId)
{
    return addChild<QUaFolderObject>(browseName, nodeId);
}

quint32 QUaNode::userWriteMask(const QString &userName)
{
    auto *parentNode = qobject_cast<QUaNode *>(parent());
    return parentNode ? parentNode->userWriteMask(userName) : 0xFFFFFFFF;
}

quint8 QUaNode::userAccessLevel(const QString &userName)
{
    auto *parentNode = qobject_cast<QUaNode *>(parent());
    return parentNode ? parentNode->resolvedUserAccessLevel(userName) : 0xFF;
}

bool QUaNode::userExecutable(const QString &userName)
{
    auto *parentNode = qobject_cast<QUaNode *>(parent());
    return parentNode ? parentNode->userExecutable(userName) : true;
}

quint32 QUaNode::resolvedUserWriteMask(const QString &userName)
{
    return m_userWriteMaskCallback ? m_userWriteMaskCallback(userName) : userWriteMask(userName);
}

quint8 QUaNode::resolvedUserAccessLevel(const QString &userName)
{
    return m_userAccessLevelCallback ? m_userAccessLevelCallback(userName)
                                     : userAccessLevel(userName);
}

bool QUaNode::resolvedUserExecutable(const QString &userName)
{
    return m_userExecutableCallback ? m_userExecutableCallback(userName) : userExecutable(userName);
}

void QUaNode::setUserWriteMaskCallback(const std::function<quint32(const QString &)> &callback)
{
    m_userWriteMaskCallback = callback;
}

void QUaNode::setUserAccessLevelCallback(const std::function<quint8(const QString &)> &callback)
{
    m_userAccessLevelCallback = callback;
}

void QUaNode::setUserExecutableCallback(const std::function<bool(const QString &)> &callback)
{
    m_userExecutableCallback = callback;
}

bool QUaNode::hasReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                           bool isForward) const
{
    const QUaStack::ScopedNodeId refTypeId(m_qUaServer->referenceTypeId(refType));
    const QList<QUaStack::Reference> references = QUaStack::browse(
        stackServer(), m_nodeId,
        isForward ? UA_BROWSEDIRECTION_FORWARD : UA_BROWSEDIRECTION_INVERSE, refTypeId, false);
    const QUaNodeId targetId = nodeTarget->nodeId();
    for (const QUaStack::Reference &reference : references) {
        if (reference.targetId == targetId) {
            return true;
        }
    }
    return false;
}

void QUaNode::addReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                           const bool &isForward)
{
    if (!m_qUaServer->isKnownReferenceType(refType) &&
        !m_qUaServer->registerReferenceType(refType)) {
        return;
    }
    if (m_qUaServer->isHierarchicalReferenceType(refType) || !nodeTarget ||
        hasReference(refType, nodeTarget, isForward)) {
        return;
    }
    const QUaStack::ScopedNodeId refTypeId(m_qUaServer->referenceTypeId(refType));
    if (UA_Server_addReference(stackServer(), m_nodeId, refTypeId, expandedOf(nodeTarget->m_nodeId),
                               isForward) != UA_STATUSCODE_GOOD) {
        return;
    }
    auto *target = const_cast<QUaNode *>(nodeTarget);
    emit referenceAdded(refType, target, isForward);
    emit target->referenceAdded(refType, this, !isForward);

    // Each end reports the reference gone when the other end disappears.
    ReferenceLink link{refType, nodeTarget, isForward, {}, {}};
    link.targetGone =
        connect(target, &QObject::destroyed, this, [this, refType, target, isForward] {
            forgetReferenceLink(refType, target, isForward);
            emit referenceRemoved(refType, target, isForward);
        });
    link.sourceGone =
        connect(this, &QObject::destroyed, target, [this, refType, target, isForward] {
            emit target->referenceRemoved(refType, this, !isForward);
        });
    m_referenceLinks.append(link);
}

void QUaNode::removeReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                              const bool &isForward)
{
    if (!m_qUaServer->isKnownReferenceType(refType) || !nodeTarget ||
        !hasReference(refType, nodeTarget, isForward)) {
        return;
    }
    const QUaStack::ScopedNodeId refTypeId(m_qUaServer->referenceTypeId(refType));
    if (UA_Server_deleteReference(stackServer(), m_nodeId, refTypeId, isForward,
                                  expandedOf(nodeTarget->m_nodeId), true) != UA_STATUSCODE_GOOD) {
        return;
    }
    auto *target = const_cast<QUaNode *>(nodeTarget);
    emit referenceRemoved(refType, target, isForward);
    emit target->referenceRemoved(refType, this, !isForward);
    forgetReferenceLink(refType, nodeTarget, isForward);
}

void QUaNode::forgetReferenceLink(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                                  bool isForward)
{
    for (int i = 0; i < m_referenceLinks.count(); ++i) {
        const ReferenceLink &link = m_referenceLinks.at(i);
        if (link.refType == refType && link.target == nodeTarget && link.isForward == isForward) {
            disconnect(link.targetGone);
            disconnect(link.sourceGone);
            m_referenceLinks.removeAt(i);
            return;
        }
    }
}

QList<QUaNode *> QUaNode::findReferences(const QUaReferenceType &refType,
                                         const bool &isForward) const
{
    QList<QUaNode *> nodes;
    if (!m_qUaServer->isKnownReferenceType(refType)) {
        m_qUaServer->registerReferenceType(refType);
        return nodes;
    }
    const QUaStack::ScopedNodeId refTypeId(m_qUaServer->referenceTypeId(refType));
    const QList<QUaStack::Reference> references = QUaStack::browse(
        stackServer(), m_nodeId,
        isForward ? UA_BROWSEDIRECTION_FORWARD : UA_BROWSEDIRECTION_INVERSE, refTypeId, false);
    for (const QUaStack::Reference &reference : references) {
        if (QUaNode *node = m_qUaServer->nodeById(reference.targetId)) {
            nodes.append(node);
        }
    }
    return nodes;
}
