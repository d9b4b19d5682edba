#ifndef QUANODE_H
#define QUANODE_H

#include <QHash>
#include <QList>
#include <QObject>

#include <functional>

#include <open62541/server.h>

#include "quareferencetype.h"
#include "quatypes.h"

class QUaServer;
class QUaProperty;
class QUaBaseDataVariable;
class QUaBaseObject;
class QUaFolderObject;

// The object of one node of the address space. The pair is bound both ways:
// the object keeps the node id and the node keeps the object as its context.
// Attributes are read from and written to the stack on every access; the
// QObject tree mirrors the address space, so deleting an object deletes its
// nodes, and a node the stack deletes takes its object with it.
class QUaNode : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUaLocalizedText displayName READ displayName WRITE setDisplayName NOTIFY
                   displayNameChanged)
    Q_PROPERTY(QUaLocalizedText description READ description WRITE setDescription NOTIFY
                   descriptionChanged)
    Q_PROPERTY(quint32 writeMask READ writeMask WRITE setWriteMask NOTIFY writeMaskChanged)
    Q_PROPERTY(QUaNodeId nodeId READ nodeId)
    Q_PROPERTY(QString nodeClass READ nodeClass)
    Q_PROPERTY(QUaQualifiedName browseName READ browseName)

    friend class QUaServer;

public:
    // Only the server constructs node objects, for nodes the stack has just made.
    explicit QUaNode(QUaServer *server);
    ~QUaNode() override;

    virtual QUaLocalizedText displayName() const;
    virtual void setDisplayName(const QUaLocalizedText &displayName);

    // Add a child node under this one; null when the child could not be made
    // (its browse name is taken here, its node id is in use, or the stack
    // refused). A null node id lets the stack choose one.
    virtual QUaProperty *addProperty(const QUaQualifiedName &browseName,
                                     const QUaNodeId &nodeId = QUaNodeId());
    virtual QUaBaseDataVariable *addBaseDataVariable(const QUaQualifiedName &browseName,
                                                     const QUaNodeId &nodeId = QUaNodeId());
    virtual QUaBaseObject *addBaseObject(const QUaQualifiedName &browseName,
                                         const QUaNodeId &nodeId = QUaNodeId());
    virtual QUaFolderObject *addFolderObject(const QUaQualifiedName &browseName,
                                             const QUaNodeId &nodeId = QUaNodeId());
    // The same for a child of any node class, registered with the server as a
    // type first when it is not yet.
    QUaNode *addChild(const QMetaObject &metaObject, const QUaQualifiedName &browseName,
                      const QUaNodeId &nodeId = QUaNodeId());
    template <typename T>
    T *addChild(const QUaQualifiedName &browseName, const QUaNodeId &nodeId = QUaNodeId())
    {
        return qobject_cast<T *>(addChild(T::staticMetaObject, browseName, nodeId));
    }

    // What a user may do here; by default what the parent node object allows,
    // everything at the top.
    virtual quint32 userWriteMask(const QString &userName);
    virtual quint8 userAccessLevel(const QString &userName);
    virtual bool userExecutable(const QString &userName);

    QUaLocalizedText description() const;
    void setDescription(const QUaLocalizedText &description);
    quint32 writeMask() const;
    void setWriteMask(const quint32 &writeMask);
    QUaNodeId nodeId() const { return QUaNodeId(m_nodeId); }
    QString nodeClass() const;
    QUaQualifiedName browseName() const;

    QUaNodeId typeDefinitionNodeId() const;
    QString typeDefinitionDisplayName() const;
    QString className() const;

    QUaNode *browseChild(const QUaQualifiedName &browseName) const;
    bool hasChild(const QUaQualifiedName &browseName) const;

    // Non-hierarchical references; an unknown reference type is registered
    // first. The hierarchical ones follow the QObject tree and are left alone.
    void addReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                      const bool &isForward = true);
    void removeReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                         const bool &isForward = true);
    QList<QUaNode *> findReferences(const QUaReferenceType &refType,
                                    const bool &isForward = true) const;

    void setUserWriteMaskCallback(const std::function<quint32(const QString &)> &callback);
    void setUserAccessLevelCallback(const std::function<quint8(const QString &)> &callback);
    void setUserExecutableCallback(const std::function<bool(const QString &)> &callback);

    QUaServer *server() const { return m_qUaServer; }

signals:
    void displayNameChanged(const QUaLocalizedText &displayName);
    void descriptionChanged(const QUaLocalizedText &description);
    void writeMaskChanged(quint32 writeMask);
    void childAdded(QUaNode *childNode);
    void referenceAdded(const QUaReferenceType &refType, QUaNode *nodeTarget,
                        const bool &isForward);
    void referenceRemoved(const QUaReferenceType &refType, QUaNode *nodeTarget,
                          const bool &isForward);

protected:
    UA_Server *stackServer() const;
    const UA_NodeId &stackNodeId() const { return m_nodeId; }

private:
    struct ReferenceLink {
        QUaReferenceType refType;
        const QUaNode *target;
        bool isForward;
        QMetaObject::Connection targetGone;
        QMetaObject::Connection sourceGone;
    };

    void bindTypeChildren(const QMetaObject &metaObject);
    void bindChild(QUaNode *child);
    void unbindChild(QUaNode *child);
    bool isBoundToStack() const;
    bool hasReference(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                      bool isForward) const;
    void forgetReferenceLink(const QUaReferenceType &refType, const QUaNode *nodeTarget,
                             bool isForward);

    // The user's rights through the node's callback when set, else its virtual.
    quint32 resolvedUserWriteMask(const QString &userName);
    quint8 resolvedUserAccessLevel(const QString &userName);
    bool resolvedUserExecutable(const QString &userName);

    QUaServer *m_qUaServer;
    UA_NodeId m_nodeId;
    mutable QUaNodeId m_typeDefinitionNodeId;
    mutable QUaQualifiedName m_browseName;
    QHash<QUaQualifiedName, QUaNode *> m_browseNames; // bound children by browse name
    QList<ReferenceLink> m_referenceLinks;
    std::function<quint32(const QString &)> m_userWriteMaskCallback;
    std::function<quint8(const QString &)> m_userAccessLevelCallback;
    std::function<bool(const QString &)> m_userExecutableCallback;
};

#endif // QUANODE_H
