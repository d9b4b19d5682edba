// Node objects bound to stack nodes: the four add operations with their
// references, children by browse name, deletion both ways, nodes that clients
// add, and non-hierarchical references with their signals.

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "tst_quaserver_client.h"

class TestQUaNode : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void addOperationsChooseReferenceByClass();
    void addOperationsRefuseTakenNamesAndIds();
    void newNodesCarryTheirNamesAndTypes();
    void deletingAnObjectDeletesItsSubtreeLeavesFirst();
    void clientDeleteNodesDeletesTheObjectLater();
    void clientAddedNodesGetObjects();
    void referencesAreAddedOnceAndReportedByBothEnds();
    void referenceEndThatDisappearsIsReported();

private:
    QUaServer *m_server = nullptr;
    TestClient *m_client = nullptr;
};

namespace
{

const QUaReferenceType kOrganizes{QStringLiteral("Organizes"), QStringLiteral("OrganizedBy")};
const QUaReferenceType kHasComponent{QStringLiteral("HasComponent"), QStringLiteral("ComponentOf")};
const QUaReferenceType kHasProperty{QStringLiteral("HasProperty"), QStringLiteral("PropertyOf")};
const QUaReferenceType kFeeds{QStringLiteral("Feeds"), QStringLiteral("FedBy")};

// The reference type by which the parent refers to the child, seen by a client.
QUaNodeId referenceTypeBetween(TestClient &client, const QUaNode *parent, const QUaNode *child)
{
    for (const TestClient::Reference &ref : client.browse(parent->nodeId())) {
        if (ref.targetId == child->nodeId()) {
            return ref.referenceTypeId;
        }
    }
    return QUaNodeId();
}

bool existsInStack(TestClient &client, const QUaNodeId &nodeId)
{
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    client.readAttribute(nodeId, UA_ATTRIBUTEID_NODEID, &status);
    return status == UA_STATUSCODE_GOOD;
}

} // namespace

void TestQUaNode::init()
{
    m_server = new QUaServer;
    m_server->setPort(freeLoopbackPort());
    m_server->setNodeManagementAllowed(true); // for the nodes that clients add and delete
    QVERIFY(m_server->start());
    m_client = new TestClient;
    QCOMPARE(m_client->connect(m_server->port()), UA_STATUSCODE_GOOD);
}

void TestQUaNode::cleanup()
{
    delete m_client;
    delete m_server;
}

void TestQUaNode::addOperationsChooseReferenceByClass()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    QUaFolderObject *folder = objects->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseObject *object = folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QUaBaseDataVariable *variable = object->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    QUaProperty *objectProperty = object->addProperty(QUaQualifiedName(1, "Serial"));
    QUaProperty *variableProperty = variable->addProperty(QUaQualifiedName(1, "Unit"));
    QUaBaseDataVariable *subVariable = variable->addBaseDataVariable(QUaQualifiedName(1, "Raw"));
    QVERIFY(folder && object && variable && objectProperty && variableProperty && subVariable);

    QCOMPARE(referenceTypeBetween(*m_client, objects, folder), QUaNodeId(0, UA_NS0ID_ORGANIZES));
    QCOMPARE(referenceTypeBetween(*m_client, folder, object), QUaNodeId(0, UA_NS0ID_ORGANIZES));
    QCOMPARE(referenceTypeBetween(*m_client, object, variable),
             QUaNodeId(0, UA_NS0ID_HASCOMPONENT));
    QCOMPARE(referenceTypeBetween(*m_client, object, objectProperty),
             QUaNodeId(0, UA_NS0ID_HASPROPERTY));
    QCOMPARE(referenceTypeBetween(*m_client, variable, variableProperty),
             QUaNodeId(0, UA_NS0ID_HASPROPERTY));
    QCOMPARE(referenceTypeBetween(*m_client, variable, subVariable),
             QUaNodeId(0, UA_NS0ID_HASCOMPONENT));

    // The hierarchical references are found through the object layer too.
    QCOMPARE(object->findReferences(kHasProperty), QList<QUaNode *>{objectProperty});
    QCOMPARE(object->findReferences(kOrganizes, false), QList<QUaNode *>{folder});
}

void TestQUaNode::addOperationsRefuseTakenNamesAndIds()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    QSignalSpy childAdded(objects, &QUaNode::childAdded);
    QUaFolderObject *folder =
        objects->addFolderObject(QUaQualifiedName(1, "Plant"), QUaNodeId(1, quint32(100)));
    QVERIFY(folder);
    QCOMPARE(childAdded.count(), 1);
    QCOMPARE(childAdded.at(0).at(0).value<QUaNode *>(), folder);
    QCOMPARE(folder->parent(), objects);
    QCOMPARE(objects->browseChild(QUaQualifiedName(1, "Plant")), folder);

    QVERIFY(!objects->addFolderObject(QUaQualifiedName(1, "Plant")));
    QVERIFY(!objects->addBaseObject(QUaQualifiedName(1, "Other"), QUaNodeId(1, quint32(100))));
    QVERIFY(!objects->addProperty(QUaQualifiedName(1, "Server"), QUaNodeId(0, UA_NS0ID_SERVER)));
    QCOMPARE(childAdded.count(), 1);
    // The same name in another namespace is another name.
    QVERIFY(objects->addFolderObject(QUaQualifiedName(2, "Plant")));
    // The same name under another parent is fine.
    QVERIFY(folder->addFolderObject(QUaQualifiedName(1, "Plant")));
}

void TestQUaNode::newNodesCarryTheirNamesAndTypes()
{
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseDataVariable *variable = folder->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    QUaProperty *property = folder->addProperty(QUaQualifiedName(1, "Serial"));
    QUaBaseObject *object = folder->addBaseObject(QUaQualifiedName(1, "Line"));

    QCOMPARE(variable->browseName(), QUaQualifiedName(1, "Speed"));
    QCOMPARE(variable->displayName(), QUaLocalizedText(QString(), QStringLiteral("Speed")));
    QCOMPARE(variable->objectName(), QStringLiteral("ns=1;s=Speed"));
    QVERIFY(!variable->nodeId().isNull()); // chosen by the stack
    QCOMPARE(variable->nodeClass(), QStringLiteral("VARIABLE"));
    QCOMPARE(folder->nodeClass(), QStringLiteral("OBJECT"));
    QCOMPARE(folder->typeDefinitionNodeId(), QUaNodeId(0, UA_NS0ID_FOLDERTYPE));
    QCOMPARE(object->typeDefinitionNodeId(), QUaNodeId(0, UA_NS0ID_BASEOBJECTTYPE));
    QCOMPARE(variable->typeDefinitionNodeId(), QUaNodeId(0, UA_NS0ID_BASEDATAVARIABLETYPE));
    QCOMPARE(property->typeDefinitionNodeId(), QUaNodeId(0, UA_NS0ID_PROPERTYTYPE));
    QCOMPARE(property->typeDefinitionDisplayName(), QStringLiteral("PropertyType"));
    QCOMPARE(property->className(), QStringLiteral("QUaProperty"));
    QCOMPARE(m_server->nodeById(variable->nodeId()), variable);

    QSignalSpy displayNameChanged(variable, &QUaNode::displayNameChanged);
    variable->setDisplayName(QUaLocalizedText(QString(), QStringLiteral("Line speed")));
    variable->setDescription(QUaLocalizedText(QString(), QStringLiteral("Belt speed")));
    QCOMPARE(displayNameChanged.count(), 1);
    QCOMPARE(m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_DISPLAYNAME)
                 .value<QUaLocalizedText>()
                 .toString(),
             QStringLiteral("Line speed"));
    QCOMPARE(variable->displayName().text(), QStringLiteral("Line speed"));
    QCOMPARE(variable->description().text(), QStringLiteral("Belt speed"));
    QCOMPARE(variable->browseName(), QUaQualifiedName(1, "Speed"));
}

void TestQUaNode::deletingAnObjectDeletesItsSubtreeLeavesFirst()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    QUaFolderObject *folder = objects->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseObject *line = folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QUaBaseDataVariable *speed = line->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    QUaProperty *unit = speed->addProperty(QUaQualifiedName(1, "Unit"));
    const QList<QUaNodeId> ids{folder->nodeId(), line->nodeId(), speed->nodeId(), unit->nodeId()};

    QStringList order;
    for (QUaNode *node : QList<QUaNode *>{folder, line, speed, unit}) {
        const QString name = node->browseName().name();
        connect(node, &QObject::destroyed, this, [&order, name] { order << name; });
    }
    delete unit;
    QVERIFY(!speed->hasChild(QUaQualifiedName(1, "Unit")));
    QVERIFY(!existsInStack(*m_client, ids.at(3)));
    // The name is free again.
    QVERIFY(speed->addProperty(QUaQualifiedName(1, "Unit")));

    delete folder;
    QCOMPARE(order, QStringList({"Unit", "Speed", "Line", "Plant"}));
    QVERIFY(!objects->hasChild(QUaQualifiedName(1, "Plant")));
    for (const QUaNodeId &id : ids) {
        QVERIFY(!existsInStack(*m_client, id));
        QVERIFY(!m_server->nodeById(id));
    }
}

void TestQUaNode::clientDeleteNodesDeletesTheObjectLater()
{
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QPointer<QUaBaseObject> line = folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QPointer<QUaBaseDataVariable> speed = line->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    const QUaNodeId speedId = speed->nodeId();

    QCOMPARE(m_client->deleteNode(line->nodeId()), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(line.isNull());
    QVERIFY(speed.isNull());
    QVERIFY(!folder->hasChild(QUaQualifiedName(1, "Line")));
    QVERIFY(!existsInStack(*m_client, speedId));

    // A node the client deleted is not deleted again by its object; the id
    // may already serve a new node, which must stay.
    QPointer<QUaBaseDataVariable> level =
        folder->addBaseDataVariable(QUaQualifiedName(1, "Level"), QUaNodeId(1, quint32(900)));
    QCOMPARE(m_client->deleteNode(level->nodeId()), UA_STATUSCODE_GOOD);
    QUaBaseDataVariable *replacement =
        folder->addBaseDataVariable(QUaQualifiedName(1, "Level2"), QUaNodeId(1, quint32(900)));
    if (!level.isNull()) { // not yet deleted: the object of the old node goes now
        delete level.data();
    }
    QCOMPARE(m_server->nodeById(QUaNodeId(1, quint32(900))), replacement);
    QVERIFY(existsInStack(*m_client, QUaNodeId(1, quint32(900))));
}

void TestQUaNode::clientAddedNodesGetObjects()
{
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QSignalSpy childAdded(folder, &QUaNode::childAdded);
    QUaNodeId variableId;
    QCOMPARE(
        m_client->addVariable(folder->nodeId(), QUaQualifiedName(1, "FromClient"), &variableId),
        UA_STATUSCODE_GOOD);
    QCOMPARE(childAdded.count(), 1);
    auto *variable = qobject_cast<QUaBaseDataVariable *>(m_server->nodeById(variableId));
    QVERIFY(variable);
    QCOMPARE(childAdded.at(0).at(0).value<QUaNode *>(), variable);
    QCOMPARE(folder->browseChild(QUaQualifiedName(1, "FromClient")), variable);

    QUaNodeId objectId;
    QCOMPARE(m_client->addObject(folder->nodeId(), QUaNodeId(1, quint32(0)),
                                 QUaQualifiedName(1, "Cabinet"), QUaNodeId(0, UA_NS0ID_FOLDERTYPE),
                                 &objectId),
             UA_STATUSCODE_GOOD);
    QVERIFY(qobject_cast<QUaFolderObject *>(m_server->nodeById(objectId)));

    // A node under a type node gets no object.
    QUaNodeId insideType;
    QCOMPARE(m_client->addVariable(QUaNodeId(0, UA_NS0ID_BASEOBJECTTYPE),
                                   QUaQualifiedName(1, "Declaration"), &insideType),
             UA_STATUSCODE_GOOD);
    QVERIFY(!m_server->nodeById(insideType));
    QCOMPARE(m_client->deleteNode(insideType), UA_STATUSCODE_GOOD);
}

void TestQUaNode::referencesAreAddedOnceAndReportedByBothEnds()
{
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseObject *pump = folder->addBaseObject(QUaQualifiedName(1, "Pump"));
    QUaBaseObject *tank = folder->addBaseObject(QUaQualifiedName(1, "Tank"));
    QSignalSpy pumpAdded(pump, &QUaNode::referenceAdded);
    QSignalSpy tankAdded(tank, &QUaNode::referenceAdded);
    QSignalSpy pumpRemoved(pump, &QUaNode::referenceRemoved);
    QSignalSpy tankRemoved(tank, &QUaNode::referenceRemoved);

    // Hierarchical references follow the tree and are left alone.
    pump->addReference(kHasComponent, tank);
    QCOMPARE(pumpAdded.count(), 0);

    pump->addReference(kFeeds, tank);
    pump->addReference(kFeeds, tank);
    QCOMPARE(pumpAdded.count(), 1);
    QCOMPARE(tankAdded.count(), 1);
    QCOMPARE(pumpAdded.at(0).at(0).value<QUaReferenceType>(), kFeeds);
    QCOMPARE(pumpAdded.at(0).at(1).value<QUaNode *>(), tank);
    QCOMPARE(pumpAdded.at(0).at(2).toBool(), true);
    QCOMPARE(tankAdded.at(0).at(1).value<QUaNode *>(), pump);
    QCOMPARE(tankAdded.at(0).at(2).toBool(), false);
    QCOMPARE(pump->findReferences(kFeeds), QList<QUaNode *>{tank});
    QCOMPARE(tank->findReferences(kFeeds, false), QList<QUaNode *>{pump});

    // Clients see the reference, of the new type.
    QUaNodeId typeSeenByClient;
    for (const TestClient::Reference &ref : m_client->browse(pump->nodeId())) {
        if (ref.targetId == tank->nodeId()) {
            typeSeenByClient = ref.referenceTypeId;
        }
    }
    QVERIFY(!typeSeenByClient.isNull());
    QCOMPARE(m_client->readAttribute(typeSeenByClient, UA_ATTRIBUTEID_INVERSENAME)
                 .value<QUaLocalizedText>()
                 .text(),
             QStringLiteral("FedBy"));

    pump->removeReference(kFeeds, tank);
    QCOMPARE(pumpRemoved.count(), 1);
    QCOMPARE(tankRemoved.count(), 1);
    QCOMPARE(tankRemoved.at(0).at(2).toBool(), false);
    QVERIFY(pump->findReferences(kFeeds).isEmpty());
    pump->removeReference(kFeeds, tank);
    QCOMPARE(pumpRemoved.count(), 1);

    // An unknown type asked for is registered and has no references yet.
    const QUaReferenceType drains{QStringLiteral("Drains"), QStringLiteral("DrainedBy")};
    QVERIFY(tank->findReferences(drains).isEmpty());
    QVERIFY(!m_server->registerReferenceType({QStringLiteral("Other"), QStringLiteral("Inverse")},
                                             QUaNodeId(0, UA_NS0ID_SERVER)));
}

void TestQUaNode::referenceEndThatDisappearsIsReported()
{
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseObject *pump = folder->addBaseObject(QUaQualifiedName(1, "Pump"));
    QUaBaseObject *tank = folder->addBaseObject(QUaQualifiedName(1, "Tank"));
    QUaBaseObject *valve = folder->addBaseObject(QUaQualifiedName(1, "Valve"));
    pump->addReference(kFeeds, tank);
    valve->addReference(kFeeds, pump);

    QSignalSpy pumpRemoved(pump, &QUaNode::referenceRemoved);
    delete tank;
    QCOMPARE(pumpRemoved.count(), 1);
    QCOMPARE(pumpRemoved.at(0).at(2).toBool(), true);

    delete valve;
    QCOMPARE(pumpRemoved.count(), 2);
    QCOMPARE(pumpRemoved.at(1).at(2).toBool(), false);
    QVERIFY(pump->findReferences(kFeeds).isEmpty());
}

QTEST_GUILESS_MAIN(TestQUaNode)
#include "tst_quanode.moc"
