// The server's side of the address space: node objects for the nodes the
// stack creates and deletes, node classes as types (the built-in ones and the
// application's), instance creation, reference types, enumerations and the
// node ids of type children.

#include "quaserver.h"

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quasession.h"
#include "quasignaler.h"
#include "quastack.h"

#include <cstring>

namespace
{

UA_LocalizedText toUaText(const QString &text)
{
    return QUaLocalizedText(QString(), text);
}

// The attributes of a new variable: those of the class's variable type, read
// only until the application allows writing.
UA_VariableAttributes variableAttributesOfType(UA_Server *server, const UA_NodeId &typeNodeId)
{
    UA_VariableAttributes attributes;
    UA_VariableAttributes_copy(&UA_VariableAttributes_default, &attributes);
    UA_NodeId_clear(&attributes.dataType);
    UA_Server_readDataType(server, typeNodeId, &attributes.dataType);
    UA_Server_readValueRank(server, typeNodeId, &attributes.valueRank);
    UA_Variant dimensions;
    UA_Variant_init(&dimensions);
    UA_Server_readArrayDimensions(server, typeNodeId, &dimensions);
    if (dimensions.type == &UA_TYPES[UA_TYPES_UINT32] && dimensions.arrayLength > 0 &&
        UA_Array_copy(dimensions.data, dimensions.arrayLength,
                      reinterpret_cast<void **>(&attributes.arrayDimensions),
                      &UA_TYPES[UA_TYPES_UINT32]) == UA_STATUSCODE_GOOD) {
        attributes.arrayDimensionsSize = dimensions.arrayLength;
    }
    UA_Variant_clear(&dimensions);
    // The stack's default also grants status and timestamp writes.
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ;
    return attributes;
}

// A new node of a node class under a parent: its requested id (null lets the
// stack choose), where it hangs and of which type it is. A non-null data type
// replaces the one of a variable class's variable type.
struct InstanceNode {
    QUaNodeId requestedId;
    QUaNodeId parentId;
    QUaNodeId referenceTypeId;
    QUaNodeId typeId;
    QUaQualifiedName browseName;
    QUaNodeId dataTypeId;
};

// Adds a variable for a variable class, an object otherwise, shown under its
// browse name; the node object, if any, comes from the type's constructor.
UA_StatusCode addInstanceNode(UA_Server *server, const QMetaObject &metaObject,
                              const InstanceNode &node, UA_NodeId *newNodeId)
{
    const QUaStack::ScopedNodeId requestedId(node.requestedId);
    const QUaStack::ScopedNodeId parentId(node.parentId);
    const QUaStack::ScopedNodeId referenceTypeId(node.referenceTypeId);
    const QUaStack::ScopedNodeId typeId(node.typeId);
    UA_QualifiedName browseName = node.browseName;
    UA_StatusCode status;
    if (metaObject.inherits(&QUaBaseVariable::staticMetaObject)) {
        UA_VariableAttributes attributes = variableAttributesOfType(server, typeId);
        if (!node.dataTypeId.isNull()) {
            UA_NodeId_clear(&attributes.dataType);
            attributes.dataType = node.dataTypeId;
        }
        attributes.displayName = toUaText(node.browseName.name());
        status = UA_Server_addVariableNode(server, requestedId, parentId, referenceTypeId,
                                           browseName, typeId, attributes, nullptr, newNodeId);
        UA_VariableAttributes_clear(&attributes);
    } else {
        UA_ObjectAttributes attributes;
        UA_ObjectAttributes_init(&attributes);
        attributes.displayName = toUaText(node.browseName.name());
        status = UA_Server_addObjectNode(server, requestedId, parentId, referenceTypeId, browseName,
                                         typeId, attributes, nullptr, newNodeId);
        UA_ObjectAttributes_clear(&attributes);
    }
    UA_QualifiedName_clear(&browseName);
    return status;
}

// The node class that a class property declares as a child: a pointer to a
// node class other than the declaring class and its subclasses; null for any
// other property.
const QMetaObject *childClassOf(const QMetaProperty &property, const QMetaObject &declaringClass)
{
    const int qtType = property.userType();
    if (!QMetaType::typeFlags(qtType).testFlag(QMetaType::PointerToQObject)) {
        return nullptr;
    }
    const QMetaObject *childClass = QMetaType::metaObjectForType(qtType);
    return childClass && childClass->inherits(&QUaNode::staticMetaObject) &&
                   !childClass->inherits(&declaringClass)
               ? childClass
               : nullptr;
}

// The stack's default attributes of a type node, named after the class and
// with an empty description.
template <typename Attributes>
Attributes typeAttributes(const Attributes &defaults, const UA_DataType &type,
                          const QString &className)
{
    Attributes attributes;
    UA_copy(&defaults, &attributes, &type);
    UA_LocalizedText_clear(&attributes.displayName);
    UA_LocalizedText_clear(&attributes.description);
    attributes.displayName = toUaText(className);
    attributes.description = toUaText(QString());
    return attributes;
}

// The requested id of a node the server adds for a type; a null one lets the
// stack choose a numeric id in the application's namespace.
QUaNodeId requestedTypeNodeId(const QUaNodeId &nodeId)
{
    return nodeId.isNull() ? QUaNodeId(UA_NODEID_NUMERIC(1, 0)) : nodeId;
}

} // namespace

bool QUaServer::isNodeObject(const void *nodeContext) const
{
    return nodeContext && m_nodeObjects.contains(static_cast<const QUaNode *>(nodeContext));
}

// Node contexts may hold anything the stack or other code put there; only the
// pointers of live node objects are taken as such.
QUaNode *QUaServer::nodeFromContext(void *nodeContext) const
{
    return isNodeObject(nodeContext) ? static_cast<QUaNode *>(nodeContext) : nullptr;
}

QUaNode *QUaServer::nodeObjectOf(const UA_NodeId &nodeId) const
{
    void *context = nullptr;
    if (UA_Server_getNodeContext(m_server, nodeId, &context) != UA_STATUSCODE_GOOD) {
        return nullptr;
    }
    return nodeFromContext(context);
}

void QUaServer::registerBuiltInType(const QMetaObject &metaObject, const UA_NodeId &typeNodeId,
                                    bool withLifeCycle)
{
    m_mapTypes.insert(QString::fromLatin1(metaObject.className()), QUaNodeId(typeNodeId));
    recordMandatoryChildren(QUaNodeId(typeNodeId));
    if (withLifeCycle) {
        UA_Server_setNodeContext(m_server, typeNodeId, this);
        registerTypeLifeCycle(typeNodeId, metaObject);
    }
}

void QUaServer::registerTypeLifeCycle(const UA_NodeId &typeNodeId, const QMetaObject &metaObject)
{
    if (UA_NodeId_isNull(&typeNodeId)) {
        return;
    }
    const QMetaObject *classMetaObject = &metaObject;
    m_hashConstructors.insert(QUaNodeId(typeNodeId),
                              [this, classMetaObject](const UA_NodeId *nodeId, void **nodeContext) {
                                  return constructInstance(*classMetaObject, nodeId, nodeContext);
                              });
    UA_NodeTypeLifecycle lifeCycle;
    lifeCycle.constructor = &QUaServer::typeConstructor;
    lifeCycle.destructor = &QUaServer::typeDestructor;
    UA_Server_setNodeTypeLifecycle(m_server, typeNodeId, lifeCycle);
}

// Base classes go first, so that every type is a subtype of its base class's
// type. The children and methods are in place before the mandatory children
// are recorded, so that the record holds them and subtypes inherit them.
void QUaServer::registerType(const QMetaObject &metaObject, const QUaNodeId &nodeId)
{
    if (!metaObject.inherits(&QUaNode::staticMetaObject) || !typeIdOfClass(metaObject).isNull()) {
        return;
    }
    const QMetaObject *baseClass = metaObject.superClass();
    if (typeIdOfClass(*baseClass).isNull()) {
        registerType(*baseClass);
    }
    if (!nodeId.isNull() && QUaStack::nodeExists(m_server, QUaStack::ScopedNodeId(nodeId))) {
        return;
    }
    const QUaNodeId typeNodeId = addTypeNode(metaObject, nodeId);
    if (typeNodeId.isNull()) {
        return;
    }
    m_mapTypes.insert(QString::fromLatin1(metaObject.className()), typeNodeId);
    const QUaStack::ScopedNodeId typeId(typeNodeId);
    registerTypeLifeCycle(typeId, metaObject);
    for (int i = metaObject.enumeratorOffset(); i < metaObject.enumeratorCount(); ++i) {
        registerEnum(metaObject.enumerator(i));
    }
    addPropertyChildren(metaObject, typeId);
    // Methods belong to objects; variable types have none.
    if (!metaObject.inherits(&QUaBaseVariable::staticMetaObject)) {
        addMetaMethods(metaObject);
    }
    recordMandatoryChildren(typeNodeId);
    bindTypeMethods(metaObject, typeId);
}

// An ObjectType, or a VariableType for a variable class (a property class
// too: its instances are variables), under its base class's type.
QUaNodeId QUaServer::addTypeNode(const QMetaObject &metaObject, const QUaNodeId &nodeId)
{
    const bool isVariableType = metaObject.inherits(&QUaBaseVariable::staticMetaObject);
    QUaNodeId superTypeId = typeIdOfClass(*metaObject.superClass());
    if (superTypeId.isNull()) {
        superTypeId =
            QUaNodeId(0, isVariableType ? UA_NS0ID_BASEDATAVARIABLETYPE : UA_NS0ID_BASEOBJECTTYPE);
    }
    const QString className = QString::fromLatin1(metaObject.className());
    const QUaStack::ScopedNodeId requestedId(requestedTypeNodeId(nodeId));
    const QUaStack::ScopedNodeId parentId(superTypeId);
    const UA_NodeId hasSubtype = UA_NODEID_NUMERIC(0, UA_NS0ID_HASSUBTYPE);
    UA_QualifiedName browseName = QUaQualifiedName(0, className);
    UA_NodeId newNodeId = UA_NODEID_NULL;
    UA_StatusCode status;
    if (isVariableType) {
        UA_VariableTypeAttributes attributes =
            typeAttributes(UA_VariableTypeAttributes_default,
                           UA_TYPES[UA_TYPES_VARIABLETYPEATTRIBUTES], className);
        status =
            UA_Server_addVariableTypeNode(m_server, requestedId, parentId, hasSubtype, browseName,
                                          UA_NODEID_NULL, attributes, this, &newNodeId);
        UA_VariableTypeAttributes_clear(&attributes);
    } else {
        UA_ObjectTypeAttributes attributes = typeAttributes(
            UA_ObjectTypeAttributes_default, UA_TYPES[UA_TYPES_OBJECTTYPEATTRIBUTES], className);
        status = UA_Server_addObjectTypeNode(m_server, requestedId, parentId, hasSubtype,
                                             browseName, attributes, this, &newNodeId);
        UA_ObjectTypeAttributes_clear(&attributes);
    }
    UA_QualifiedName_clear(&browseName);
    const QUaNodeId result = status == UA_STATUSCODE_GOOD ? QUaNodeId(newNodeId) : QUaNodeId();
    UA_NodeId_clear(&newNodeId);
    return result;
}

// The data type of a Qt enumeration, registered on first use; null for an
// invalid enumeration.
QUaNodeId QUaServer::enumDataTypeId(const QMetaEnum &metaEnum)
{
    if (!metaEnum.isValid()) {
        return QUaNodeId();
    }
    const QString enumName = QStringLiteral("%1::%2").arg(QString::fromLatin1(metaEnum.scope()),
                                                          QString::fromLatin1(metaEnum.name()));
    if (!m_hashEnums.contains(enumName)) {
        registerEnum(metaEnum);
    }
    return enumNodeId(enumName);
}

// The class's own enumeration and node-pointer properties become mandatory
// children of its type, named after the property; the other properties stay
// on the Qt side.
void QUaServer::addPropertyChildren(const QMetaObject &metaObject, const UA_NodeId &typeNodeId)
{
    for (int i = metaObject.propertyOffset(); i < metaObject.propertyCount(); ++i) {
        const QMetaProperty property = metaObject.property(i);
        const QString name = QString::fromLatin1(property.name());
        if (property.isEnumType()) {
            addMandatoryChild(typeNodeId, name, QUaBaseDataVariable::staticMetaObject,
                              enumDataTypeId(property.enumerator()));
        } else if (const QMetaObject *childClass = childClassOf(property, metaObject)) {
            registerType(*childClass);
            addMandatoryChild(typeNodeId, name, *childClass, QUaNodeId());
        }
    }
}

// A child of a type node of the given class, which the stack copies into every
// instance of the type. A non-null data type replaces the one of the
// child class's variable type.
void QUaServer::addMandatoryChild(const UA_NodeId &typeNodeId, const QString &name,
                                  const QMetaObject &childClass, const QUaNodeId &dataTypeId)
{
    const bool isProperty = childClass.inherits(&QUaProperty::staticMetaObject);
    const InstanceNode node{requestedTypeNodeId(QUaNodeId()),
                            QUaNodeId(typeNodeId),
                            QUaNodeId(0, isProperty ? UA_NS0ID_HASPROPERTY : UA_NS0ID_HASCOMPONENT),
                            typeIdOfClass(childClass),
                            QUaQualifiedName(0, name),
                            dataTypeId};
    UA_NodeId childId = UA_NODEID_NULL;
    if (addInstanceNode(m_server, childClass, node, &childId) == UA_STATUSCODE_GOOD) {
        UA_Server_addReference(m_server, childId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASMODELLINGRULE),
                               UA_EXPANDEDNODEID_NUMERIC(0, UA_NS0ID_MODELLINGRULE_MANDATORY),
                               true);
    }
    UA_NodeId_clear(&childId);
}

// A type's mandatory children are those of its super type plus its own
// aggregated children with the modelling rule Mandatory.
void QUaServer::recordMandatoryChildren(const QUaNodeId &typeNodeId)
{
    if (m_hashMandatoryChildren.contains(typeNodeId)) {
        return;
    }
    QSet<QUaQualifiedName> browseNames;
    if (typeNodeId != QUaNodeId(0, UA_NS0ID_BASEOBJECTTYPE) &&
        typeNodeId != QUaNodeId(0, UA_NS0ID_BASEVARIABLETYPE)) {
        const QUaStack::ScopedNodeId typeId(typeNodeId);
        const QList<QUaStack::Reference> superTypes =
            QUaStack::browse(m_server, typeId, UA_BROWSEDIRECTION_INVERSE,
                             UA_NODEID_NUMERIC(0, UA_NS0ID_HASSUBTYPE), false);
        if (!superTypes.isEmpty()) {
            recordMandatoryChildren(superTypes.first().targetId);
            browseNames = m_hashMandatoryChildren.value(superTypes.first().targetId);
        }
        const QList<QUaStack::Reference> children =
            QUaStack::browse(m_server, typeId, UA_BROWSEDIRECTION_FORWARD,
                             UA_NODEID_NUMERIC(0, UA_NS0ID_AGGREGATES));
        for (const QUaStack::Reference &child : children) {
            if (modellingRule(child.targetId) == QUaNodeId(0, UA_NS0ID_MODELLINGRULE_MANDATORY)) {
                browseNames.insert(child.browseName);
            }
        }
    }
    m_hashMandatoryChildren.insert(typeNodeId, browseNames);
}

// The modelling rule (Mandatory or Optional) of a child of a type; null for
// a node without one.
QUaNodeId QUaServer::modellingRule(const QUaNodeId &nodeId) const
{
    const QList<QUaStack::Reference> rules =
        QUaStack::browse(m_server, QUaStack::ScopedNodeId(nodeId), UA_BROWSEDIRECTION_FORWARD,
                         UA_NODEID_NUMERIC(0, UA_NS0ID_HASMODELLINGRULE));
    for (const QUaStack::Reference &rule : rules) {
        if (rule.targetId == QUaNodeId(0, UA_NS0ID_MODELLINGRULE_MANDATORY) ||
            rule.targetId == QUaNodeId(0, UA_NS0ID_MODELLINGRULE_OPTIONAL)) {
            return rule.targetId;
        }
    }
    return QUaNodeId();
}

QSet<QUaQualifiedName> QUaServer::mandatoryChildren(const QUaNodeId &typeNodeId) const
{
    return m_hashMandatoryChildren.value(typeNodeId);
}

QUaNodeId QUaServer::typeIdOfClass(const QMetaObject &metaObject) const
{
    return m_mapTypes.value(QString::fromLatin1(metaObject.className()));
}

void QUaServer::setCurrentSession(const UA_NodeId *sessionId)
{
    m_currentSession = sessionId ? m_hashSessions.value(QUaNodeId(*sessionId)) : nullptr;
}

UA_StatusCode QUaServer::typeConstructor(UA_Server *server, const UA_NodeId *sessionId, void *,
                                         const UA_NodeId *typeNodeId, void *typeNodeContext,
                                         const UA_NodeId *nodeId, void **nodeContext)
{
    QUaServer *self = fromStack(server);
    if (!self || typeNodeContext != self) {
        return UA_STATUSCODE_BADUNEXPECTEDERROR;
    }
    self->setCurrentSession(sessionId);
    const QUaNodeId typeId(*typeNodeId);
    const InstanceConstructor constructor = self->m_hashConstructors.value(typeId);
    const UA_StatusCode status =
        constructor ? constructor(nodeId, nodeContext) : UA_STATUSCODE_GOOD;
    if (status == UA_STATUSCODE_GOOD) {
        self->announceNewInstance(typeId, *nodeContext);
    }
    return status;
}

void QUaServer::announceNewInstance(const QUaNodeId &typeNodeId, void *nodeContext)
{
    QUaSignaler *signaler = m_hashSignalers.value(typeNodeId);
    QUaNode *node = nodeFromContext(nodeContext);
    if (signaler && node) {
        emit signaler->signalNewInstance(node);
    }
}

QUaSignaler *QUaServer::newInstanceSignaler(const QMetaObject &metaObject)
{
    registerType(metaObject);
    const QUaNodeId typeNodeId = typeIdOfClass(metaObject);
    if (typeNodeId.isNull()) {
        return nullptr;
    }
    QPointer<QUaSignaler> &signaler = m_hashSignalers[typeNodeId];
    if (!signaler) {
        signaler = new QUaSignaler(this);
    }
    return signaler;
}

// Makes the object of a node the stack has just created and binds it to the
// object of its parent node.
UA_StatusCode QUaServer::constructInstance(const QMetaObject &metaObject, const UA_NodeId *nodeId,
                                           void **nodeContext)
{
    const QUaNodeId parentId = QUaStack::parentOf(m_server, *nodeId);
    QUaNodeId ancestorId = parentId;
    void *ancestorContext = nullptr;
    while (!ancestorId.isNull()) {
        const QUaStack::ScopedNodeId id(ancestorId);
        UA_NodeClass nodeClass = UA_NODECLASS_UNSPECIFIED;
        UA_Server_readNodeClass(m_server, id, &nodeClass);
        if (nodeClass != UA_NODECLASS_OBJECT && nodeClass != UA_NODECLASS_VARIABLE) {
            return UA_STATUSCODE_GOOD; // nodes inside types, methods and views get no object
        }
        if (UA_Server_getNodeContext(m_server, id, &ancestorContext) == UA_STATUSCODE_GOOD &&
            ancestorContext) {
            break;
        }
        ancestorId = QUaStack::parentOf(m_server, id);
    }
    QUaNode *node = newNodeObject(metaObject, nodeId);
    if (!node) {
        return UA_STATUSCODE_BADUNEXPECTEDERROR;
    }
    *nodeContext = node;
    QUaNode *parent = ancestorId == parentId ? nodeFromContext(ancestorContext) : nullptr;
    if (parent) {
        parent->bindChild(node);
        emit parent->childAdded(node);
    } else {
        // No parent object to own it: the server does, so it never leaks.
        node->setParent(this);
    }
    return UA_STATUSCODE_GOOD;
}

QUaNode *QUaServer::newNodeObject(const QMetaObject &metaObject, const UA_NodeId *nodeId)
{
    m_newNodeNodeId = nodeId;
    m_newNodeMetaObject = &metaObject;
    QObject *object = metaObject.newInstance(Q_ARG(QUaServer *, this));
    m_newNodeNodeId = nullptr;
    m_newNodeMetaObject = nullptr;
    return qobject_cast<QUaNode *>(object);
}

// A node the stack deletes (a client's DeleteNodes, a parent node deleted
// inside the stack, or the stack's own nodes of a session that closes) takes
// its object with it, later, outside the stack call. Left unbound are the
// objects folder's object, which the server keeps, and an object whose parent
// object is going already (its parent node is gone).
void QUaServer::typeDestructor(UA_Server *server, const UA_NodeId *sessionId, void *,
                               const UA_NodeId *, void *, const UA_NodeId *nodeId,
                               void **nodeContext)
{
    QUaServer *self = fromStack(server);
    QUaNode *node = self ? self->nodeFromContext(*nodeContext) : nullptr;
    if (!node) {
        return;
    }
    self->setCurrentSession(sessionId);
    const QUaStack::ScopedNodeId parentId(QUaStack::parentOf(server, *nodeId));
    const bool ownedByServer = node->parent() == self && node != self->m_objectsFolder;
    if (ownedByServer || self->nodeObjectOf(parentId)) {
        node->deleteLater();
    } else {
        *nodeContext = nullptr;
    }
}

QUaNodeId QUaServer::createInstance(const QMetaObject &metaObject, QUaNode *parent,
                                    const QUaQualifiedName &browseName, const QUaNodeId &nodeId)
{
    if (!metaObject.inherits(&QUaNode::staticMetaObject)) {
        return QUaNodeId();
    }
    registerType(metaObject);
    const QUaNodeId typeNodeId = typeIdOfClass(metaObject);
    if (typeNodeId.isNull()) {
        return QUaNodeId();
    }
    QUaNodeId referenceTypeId;
    QUaNodeId parentId;
    if (parent) {
        if (parent->hasChild(browseName)) {
            return QUaNodeId();
        }
        referenceTypeId = referenceTypeForChild(parent, metaObject);
        parentId = parent->nodeId();
    }
    if (!nodeId.isNull() && QUaStack::nodeExists(m_server, QUaStack::ScopedNodeId(nodeId))) {
        return QUaNodeId();
    }
    const InstanceNode node{nodeId, parentId, referenceTypeId, typeNodeId, browseName, QUaNodeId()};
    UA_NodeId newNodeId = UA_NODEID_NULL;
    const UA_StatusCode status = addInstanceNode(m_server, metaObject, node, &newNodeId);
    const QUaNodeId result = status == UA_STATUSCODE_GOOD ? QUaNodeId(newNodeId) : QUaNodeId();
    UA_NodeId_clear(&newNodeId);
    return result;
}

QUaNodeId QUaServer::referenceTypeForChild(const QUaNode *parent,
                                           const QMetaObject &childMetaObject) const
{
    if (qobject_cast<const QUaFolderObject *>(parent)) {
        return QUaNodeId(0, UA_NS0ID_ORGANIZES);
    }
    if (qobject_cast<const QUaBaseObject *>(parent) ||
        qobject_cast<const QUaBaseDataVariable *>(parent)) {
        const bool isProperty = childMetaObject.inherits(&QUaProperty::staticMetaObject) &&
                                !childMetaObject.inherits(&QUaBaseObject::staticMetaObject) &&
                                !childMetaObject.inherits(&QUaBaseDataVariable::staticMetaObject);
        return QUaNodeId(0, isProperty ? UA_NS0ID_HASPROPERTY : UA_NS0ID_HASCOMPONENT);
    }
    return QUaNodeId(0, UA_NS0ID_HASCOMPONENT);
}

bool QUaServer::isKnownReferenceType(const QUaReferenceType &refType) const
{
    return m_hashRefTypes.contains(refType);
}

QUaNodeId QUaServer::referenceTypeId(const QUaReferenceType &refType) const
{
    return m_hashRefTypes.value(refType);
}

bool QUaServer::isHierarchicalReferenceType(const QUaReferenceType &refType) const
{
    return m_hashHierarchicalRefs.contains(refType);
}

bool QUaServer::registerReferenceType(const QUaReferenceType &refType, const QUaNodeId &nodeId)
{
    if (isKnownReferenceType(refType)) {
        return true;
    }
    const QUaStack::ScopedNodeId requestedId(nodeId);
    if (!nodeId.isNull() && QUaStack::nodeExists(m_server, requestedId)) {
        return false;
    }
    UA_ReferenceTypeAttributes attributes;
    UA_ReferenceTypeAttributes_copy(&UA_ReferenceTypeAttributes_default, &attributes);
    UA_LocalizedText_clear(&attributes.displayName);
    UA_LocalizedText_clear(&attributes.inverseName);
    attributes.displayName = toUaText(refType.strForwardName);
    attributes.inverseName = toUaText(refType.strInverseName);
    attributes.symmetric = false;
    attributes.isAbstract = false;
    UA_QualifiedName browseName = QUaQualifiedName(0, refType.strForwardName);
    UA_NodeId newNodeId = UA_NODEID_NULL;
    const UA_StatusCode status = UA_Server_addReferenceTypeNode(
        m_server, requestedId, UA_NODEID_NUMERIC(0, UA_NS0ID_NONHIERARCHICALREFERENCES),
        UA_NODEID_NUMERIC(0, UA_NS0ID_HASSUBTYPE), browseName, attributes, nullptr, &newNodeId);
    UA_QualifiedName_clear(&browseName);
    UA_ReferenceTypeAttributes_clear(&attributes);
    if (status == UA_STATUSCODE_GOOD) {
        m_hashRefTypes.insert(refType, QUaNodeId(newNodeId));
    }
    UA_NodeId_clear(&newNodeId);
    return status == UA_STATUSCODE_GOOD;
}

void QUaServer::registerEnum(const QMetaEnum &metaEnum, const QUaNodeId &nodeId)
{
    const QString enumName = QStringLiteral("%1::%2").arg(QString::fromLatin1(metaEnum.scope()),
                                                          QString::fromLatin1(metaEnum.name()));
    QUaEnumMap enumMap;
    for (int i = 0; i < metaEnum.keyCount(); ++i) {
        QUaEnumerationEntry entry;
        entry.displayName = QUaLocalizedText(QString::fromLatin1(metaEnum.key(i)));
        enumMap.insert(qint64(metaEnum.value(i)), entry);
    }
    registerEnum(enumName, enumMap, nodeId);
}

void QUaServer::registerEnum(const QString &enumName, const QUaEnumMap &enumMap,
                             const QUaNodeId &nodeId)
{
    if (m_hashEnums.contains(enumName)) {
        return;
    }
    const QUaStack::ScopedNodeId requestedId(nodeId);
    if (!nodeId.isNull() && QUaStack::nodeExists(m_server, requestedId)) {
        return;
    }
    const QUaNodeId dataTypeId = nodeId.isNull() ? QUaNodeId(1, enumName) : nodeId;
    const QUaStack::ScopedNodeId stackDataTypeId(dataTypeId);

    UA_DataTypeAttributes attributes;
    UA_DataTypeAttributes_copy(&UA_DataTypeAttributes_default, &attributes);
    UA_LocalizedText_clear(&attributes.displayName);
    UA_LocalizedText_clear(&attributes.description);
    attributes.displayName = toUaText(enumName);
    attributes.description = toUaText(enumName);
    UA_QualifiedName browseName = QUaQualifiedName(1, enumName);
    const UA_StatusCode status = UA_Server_addDataTypeNode(
        m_server, stackDataTypeId, UA_NODEID_NUMERIC(0, UA_NS0ID_ENUMERATION),
        UA_NODEID_NUMERIC(0, UA_NS0ID_HASSUBTYPE), browseName, attributes, nullptr, nullptr);
    UA_QualifiedName_clear(&browseName);
    UA_DataTypeAttributes_clear(&attributes);
    if (status != UA_STATUSCODE_GOOD) {
        return;
    }
    addEnumValues(stackDataTypeId, enumMap);
    addEnumDataType(dataTypeId, enumName);
    m_hashEnums.insert(enumName, dataTypeId);
}

// The enumeration's EnumValues property: one EnumValueType per entry, in
// ascending value order.
void QUaServer::addEnumValues(const UA_NodeId &dataTypeId, const QUaEnumMap &enumMap)
{
    UA_VariableAttributes attributes;
    UA_VariableAttributes_copy(&UA_VariableAttributes_default, &attributes);
    UA_LocalizedText_clear(&attributes.displayName);
    attributes.displayName = toUaText(QStringLiteral("EnumValues"));
    UA_NodeId_clear(&attributes.dataType);
    attributes.dataType = UA_NODEID_NUMERIC(0, UA_NS0ID_ENUMVALUETYPE);
    attributes.valueRank = UA_VALUERANK_ONE_DIMENSION;
    attributes.arrayDimensionsSize = 1;
    attributes.arrayDimensions = static_cast<UA_UInt32 *>(UA_new(&UA_TYPES[UA_TYPES_UINT32]));
    attributes.arrayDimensions[0] = UA_UInt32(enumMap.count());
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ;
    attributes.userAccessLevel = UA_ACCESSLEVELMASK_READ;
    attributes.minimumSamplingInterval = 0;

    const size_t count = size_t(enumMap.count());
    auto *values =
        static_cast<UA_EnumValueType *>(UA_Array_new(count, &UA_TYPES[UA_TYPES_ENUMVALUETYPE]));
    size_t i = 0;
    for (auto entry = enumMap.cbegin(); entry != enumMap.cend(); ++entry, ++i) {
        values[i].value = entry.key();
        values[i].displayName = entry->displayName;
        values[i].description = entry->description;
    }
    UA_Variant_setArray(&attributes.value, values, count, &UA_TYPES[UA_TYPES_ENUMVALUETYPE]);

    UA_NodeId enumValuesId = UA_NODEID_NULL;
    UA_Server_addVariableNode(
        m_server, UA_NODEID_NULL, dataTypeId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY),
        UA_QUALIFIEDNAME(0, const_cast<char *>("EnumValues")),
        UA_NODEID_NUMERIC(0, UA_NS0ID_PROPERTYTYPE), attributes, nullptr, &enumValuesId);
    UA_Server_addReference(m_server, enumValuesId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASMODELLINGRULE),
                           UA_EXPANDEDNODEID_NUMERIC(0, UA_NS0ID_MODELLINGRULE_MANDATORY), true);
    UA_NodeId_clear(&enumValuesId);
    UA_VariableAttributes_clear(&attributes);
}

QUaServer::EnumDataType::EnumDataType(const QUaNodeId &typeId, const QString &enumName,
                                      const UA_DataTypeArray *next)
    : name(enumName.toUtf8()), array{next, 1, &type, false}
{
    std::memset(&type, 0, sizeof(type));
    type.typeName = name.constData();
    type.typeId = typeId;
    type.memSize = sizeof(UA_Int32);
    type.typeKind = UA_DATATYPEKIND_ENUM;
    type.pointerFree = true;
    type.overlayable = UA_BINARY_OVERLAYABLE_INTEGER;
}

QUaServer::EnumDataType::~EnumDataType()
{
    UA_NodeId_clear(&type.typeId);
}

// Enumerations travel as Int32; the stack needs the description to accept and
// store values for variables of this data type.
void QUaServer::addEnumDataType(const QUaNodeId &dataTypeId, const QString &enumName)
{
    UA_ServerConfig *config = UA_Server_getConfig(m_server);
    m_enumDataTypes.push_back(
        std::make_unique<EnumDataType>(dataTypeId, enumName, config->customDataTypes));
    config->customDataTypes = &m_enumDataTypes.back()->array;
}

bool QUaServer::isEnumDataType(const QUaNodeId &dataTypeId) const
{
    for (const QUaNodeId &enumTypeId : m_hashEnums) {
        if (enumTypeId == dataTypeId) {
            return true;
        }
    }
    return false;
}

UA_StatusCode QUaServer::childNodeIdFromStack(UA_Server *server, const UA_NodeId *, void *,
                                              const UA_NodeId *sourceNodeId,
                                              const UA_NodeId *targetParentNodeId,
                                              const UA_NodeId *, UA_NodeId *targetNodeId)
{
    QUaServer *self = fromStack(server);
    return self ? self->generateChildNodeId(sourceNodeId, targetParentNodeId, targetNodeId)
                : UA_STATUSCODE_GOOD;
}

// The application's chooser decides first; an id it gets wrong, or no chooser,
// gives an id computed from the parent's id and the child's browse name, so
// that the same type child under different parents gets different ids.
UA_StatusCode QUaServer::generateChildNodeId(const UA_NodeId *sourceNodeId,
                                             const UA_NodeId *targetParentNodeId,
                                             UA_NodeId *targetNodeId)
{
    UA_QualifiedName browseName;
    UA_QualifiedName_init(&browseName);
    UA_Server_readBrowseName(m_server, *sourceNodeId, &browseName);
    if (m_childNodeIdCallback) {
        const QUaNodeId parentId(*targetParentNodeId);
        const QUaQualifiedName childName(browseName);
        const QUaNodeId chosenId = m_childNodeIdCallback(parentId, childName);
        QString problem;
        if (chosenId.isNull()) {
            problem = tr("Child %1 nodeId for parent %2 is null. Assigning random nodeId.");
        } else if (QUaStack::nodeExists(m_server, QUaStack::ScopedNodeId(chosenId))) {
            problem =
                tr("Child %1 nodeId for parent %2 is already in use. Assigning random nodeId.");
        } else {
            UA_NodeId_clear(targetNodeId);
            *targetNodeId = chosenId;
            UA_QualifiedName_clear(&browseName);
            return UA_STATUSCODE_GOOD;
        }
        emit logMessage(QUaLog(problem.arg(childName.toString(), parentId.toString()),
                               QUa::LogLevel::Error, QUa::LogCategory::UserLand));
    }
    const UA_UInt16 namespaceIndex = targetNodeId->namespaceIndex;
    UA_NodeId_clear(targetNodeId);
    *targetNodeId =
        UA_NODEID_NUMERIC(namespaceIndex, computedChildNumericId(*targetParentNodeId, browseName));
    // Numeric 0 would let the stack choose; an id in use moves on to the next
    // one, so the search always ends on a free id.
    while (targetNodeId->identifier.numeric == 0 || QUaStack::nodeExists(m_server, *targetNodeId)) {
        ++targetNodeId->identifier.numeric;
    }
    UA_QualifiedName_clear(&browseName);
    return UA_STATUSCODE_GOOD;
}

quint32 QUaServer::computedChildNumericId(const UA_NodeId &parentNodeId,
                                          const UA_QualifiedName &browseName) const
{
    const quint32 parentPart =
        (quint32(parentNodeId.namespaceIndex) ^ quint32(parentNodeId.identifierType)) ^
        (parentNodeId.identifierType == UA_NODEIDTYPE_NUMERIC
             ? quint32(parentNodeId.namespaceIndex) ^ parentNodeId.identifier.numeric
             : quint32(UA_NodeId_hash(&parentNodeId)));
    const QByteArray name = QByteArray::fromRawData(
        reinterpret_cast<const char *>(browseName.name.data), int(browseName.name.length));
    return parentPart ^ quint32(qHash(name, browseName.namespaceIndex));
}
