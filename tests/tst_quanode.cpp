// Node objects and variables against a real client over loopback: the add
// operations with their references and types, deletion both ways, nodes that
// clients add, attribute writes, non-hierarchical references; for variables
// the network's writes against the program's, the type rules of setValue and
// setDataType, status and timestamps, value ranks, access levels and
// enumeration data types.

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "support/testclient.h"

class TestQUaNode : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void addedNodesAsClientsSeeThem();
    void addOperationsRefuseTakenNamesAndIds();
    void deletingAnObjectDeletesItsSubtreeLeavesFirst();
    void clientDeleteNodesDeletesTheObjectLater();
    void clientAddedNodesGetObjects();
    void refusedAttributeWritesAreNotReported();
    void referencesAreReportedByBothEnds();

    void writesTellNetworkFromProgram();
    void refusedProgramWriteChangesNothing();
    void setValueTypeRules_data();
    void setValueTypeRules();
    void setDataTypeConvertsTheValue();
    void statusAndTimestampsRewriteTheStoredValue();
    void valueRankChangesAreReported();
    void accessLevelsGateClients();
    void enumerationDataTypes();

private:
    QUaBaseDataVariable *addVariable(const QString &name);
    QUaNodeId dataTypeSeenByClient(const QUaNode *variable);

    QUaServer *m_server = nullptr;
    TestClient *m_client = nullptr;
    QUaFolderObject *m_folder = nullptr;
};

namespace
{

const QUaReferenceType kOrganizes{QStringLiteral("Organizes"), QStringLiteral("OrganizedBy")};
const QUaReferenceType kHasComponent{QStringLiteral("HasComponent"), QStringLiteral("ComponentOf")};
const QUaReferenceType kHasProperty{QStringLiteral("HasProperty"), QStringLiteral("PropertyOf")};
const QUaReferenceType kFeeds{QStringLiteral("Feeds"), QStringLiteral("FedBy")};
const QDateTime kSourceTime = QDateTime::fromString("2024-03-01T10:00:00.000Z", Qt::ISODateWithMs);

QUaNodeId ns0(quint32 id)
{
    return QUaNodeId(0, id);
}

// The reference type by which the source refers to the target, seen by a client.
QUaNodeId referenceTypeBetween(TestClient &client, const QUaNode *source, const QUaNode *target)
{
    for (const TestClient::Reference &ref : client.browse(source->nodeId())) {
        if (ref.targetId == target->nodeId()) {
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
    m_folder = m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QVERIFY(m_server->start());
    m_client = new TestClient;
    QCOMPARE(m_client->connect(m_server->port()), UA_STATUSCODE_GOOD);
}

void TestQUaNode::cleanup()
{
    delete m_client;
    delete m_server;
}

QUaBaseDataVariable *TestQUaNode::addVariable(const QString &name)
{
    return m_folder->addBaseDataVariable(QUaQualifiedName(1, name));
}

QUaNodeId TestQUaNode::dataTypeSeenByClient(const QUaNode *variable)
{
    return m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_DATATYPE).value<QUaNodeId>();
}

void TestQUaNode::addedNodesAsClientsSeeThem()
{
    QUaBaseObject *object = m_folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QUaBaseDataVariable *variable = object->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    QUaProperty *objectProperty = object->addProperty(QUaQualifiedName(1, "Serial"));
    QUaProperty *variableProperty = variable->addProperty(QUaQualifiedName(1, "Unit"));
    QVERIFY(object && variable && objectProperty && variableProperty);

    QCOMPARE(referenceTypeBetween(*m_client, m_folder, object), ns0(UA_NS0ID_ORGANIZES));
    QCOMPARE(referenceTypeBetween(*m_client, object, variable), ns0(UA_NS0ID_HASCOMPONENT));
    QCOMPARE(referenceTypeBetween(*m_client, object, objectProperty), ns0(UA_NS0ID_HASPROPERTY));
    QCOMPARE(referenceTypeBetween(*m_client, variable, variableProperty),
             ns0(UA_NS0ID_HASPROPERTY));
    QCOMPARE(object->findReferences(kHasProperty), QList<QUaNode *>{objectProperty});
    QCOMPARE(object->findReferences(kOrganizes, false), QList<QUaNode *>{m_folder});

    QCOMPARE(m_folder->typeDefinitionNodeId(), ns0(UA_NS0ID_FOLDERTYPE));
    QCOMPARE(object->typeDefinitionNodeId(), ns0(UA_NS0ID_BASEOBJECTTYPE));
    QCOMPARE(variable->typeDefinitionNodeId(), ns0(UA_NS0ID_BASEDATAVARIABLETYPE));
    QCOMPARE(objectProperty->typeDefinitionDisplayName(), QStringLiteral("PropertyType"));
    QCOMPARE(variable->objectName(), QStringLiteral("ns=1;s=Speed"));
    QCOMPARE(m_server->nodeById(variable->nodeId()), variable);
    // New variables are read only, and of no particular type.
    QCOMPARE(m_client->readAttribute(objectProperty->nodeId(), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt(),
             uint(UA_ACCESSLEVELMASK_READ));
    QCOMPARE(dataTypeSeenByClient(variable), ns0(UA_NS0ID_BASEDATATYPE));

    // Shown under the browse name until renamed; the browse name stays.
    QCOMPARE(variable->displayName(), QUaLocalizedText(QString(), QStringLiteral("Speed")));
    QSignalSpy displayNameChanged(variable, &QUaNode::displayNameChanged);
    variable->setDisplayName(QUaLocalizedText(QString(), QStringLiteral("Line speed")));
    QCOMPARE(displayNameChanged.count(), 1);
    QCOMPARE(m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_DISPLAYNAME)
                 .value<QUaLocalizedText>()
                 .text(),
             QStringLiteral("Line speed"));
    QCOMPARE(variable->browseName(), QUaQualifiedName(1, "Speed"));
}

void TestQUaNode::addOperationsRefuseTakenNamesAndIds()
{
    QSignalSpy childAdded(m_folder, &QUaNode::childAdded);
    QUaFolderObject *area =
        m_folder->addFolderObject(QUaQualifiedName(1, "Area"), QUaNodeId(1, quint32(100)));
    QVERIFY(area);
    QCOMPARE(childAdded.count(), 1);
    QCOMPARE(childAdded.at(0).at(0).value<QUaNode *>(), area);
    QCOMPARE(m_folder->browseChild(QUaQualifiedName(1, "Area")), area);

    QVERIFY(!m_folder->addFolderObject(QUaQualifiedName(1, "Area")));
    QVERIFY(!m_folder->addBaseObject(QUaQualifiedName(1, "Other"), QUaNodeId(1, quint32(100))));
    QVERIFY(!m_folder->addProperty(QUaQualifiedName(1, "Server"), ns0(UA_NS0ID_SERVER)));
    QCOMPARE(childAdded.count(), 1);
    // The same name in another namespace, or under another parent, is free.
    QVERIFY(m_folder->addFolderObject(QUaQualifiedName(2, "Area")));
    QVERIFY(area->addFolderObject(QUaQualifiedName(1, "Area")));
}

void TestQUaNode::deletingAnObjectDeletesItsSubtreeLeavesFirst()
{
    QUaBaseObject *line = m_folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QUaBaseDataVariable *speed = line->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    QUaProperty *unit = speed->addProperty(QUaQualifiedName(1, "Unit"));
    const QList<QUaNodeId> ids{m_folder->nodeId(), line->nodeId(), speed->nodeId(), unit->nodeId()};
    QStringList order;
    for (QUaNode *node : QList<QUaNode *>{m_folder, line, speed, unit}) {
        const QString name = node->browseName().name();
        connect(node, &QObject::destroyed, this, [&order, name] { order << name; });
    }
    delete unit;
    QVERIFY(!existsInStack(*m_client, ids.at(3)));
    // The name is free again.
    QVERIFY(speed->addProperty(QUaQualifiedName(1, "Unit")));

    delete m_folder;
    QCOMPARE(order, QStringList({"Unit", "Speed", "Line", "Plant"}));
    QVERIFY(!m_server->objectsFolder()->hasChild(QUaQualifiedName(1, "Plant")));
    for (const QUaNodeId &id : ids) {
        QVERIFY(!existsInStack(*m_client, id));
        QVERIFY(!m_server->nodeById(id));
    }
}

void TestQUaNode::clientDeleteNodesDeletesTheObjectLater()
{
    QPointer<QUaBaseObject> line = m_folder->addBaseObject(QUaQualifiedName(1, "Line"));
    QPointer<QUaBaseDataVariable> speed = line->addBaseDataVariable(QUaQualifiedName(1, "Speed"));
    const QUaNodeId speedId = speed->nodeId();
    QCOMPARE(m_client->deleteNode(line->nodeId()), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(line.isNull());
    QVERIFY(speed.isNull());
    QVERIFY(!m_folder->hasChild(QUaQualifiedName(1, "Line")));
    QVERIFY(!existsInStack(*m_client, speedId));

    // A node the client deleted is not deleted again by its object; the id
    // may already serve a new node, which must stay.
    const QUaNodeId levelId(1, quint32(900));
    QPointer<QUaBaseDataVariable> level =
        m_folder->addBaseDataVariable(QUaQualifiedName(1, "Level"), levelId);
    QCOMPARE(m_client->deleteNode(levelId), UA_STATUSCODE_GOOD);
    QUaBaseDataVariable *replacement =
        m_folder->addBaseDataVariable(QUaQualifiedName(1, "Level2"), levelId);
    delete level.data(); // if not yet deleted: the object of the old node goes now
    QCOMPARE(m_server->nodeById(levelId), replacement);
    QVERIFY(existsInStack(*m_client, levelId));
}

void TestQUaNode::clientAddedNodesGetObjects()
{
    QSignalSpy childAdded(m_folder, &QUaNode::childAdded);
    QUaNodeId variableId;
    QCOMPARE(
        m_client->addVariable(m_folder->nodeId(), QUaQualifiedName(1, "FromClient"), &variableId),
        UA_STATUSCODE_GOOD);
    auto *variable = qobject_cast<QUaBaseDataVariable *>(m_server->nodeById(variableId));
    QVERIFY(variable);
    QCOMPARE(childAdded.count(), 1);
    QCOMPARE(m_folder->browseChild(QUaQualifiedName(1, "FromClient")), variable);

    QUaNodeId objectId;
    QCOMPARE(m_client->addObject(m_folder->nodeId(), QUaNodeId(1, quint32(0)),
                                 QUaQualifiedName(1, "Cabinet"), ns0(UA_NS0ID_FOLDERTYPE),
                                 &objectId),
             UA_STATUSCODE_GOOD);
    QVERIFY(qobject_cast<QUaFolderObject *>(m_server->nodeById(objectId)));

    // A node under a type node gets no object.
    QUaNodeId insideType;
    QCOMPARE(m_client->addVariable(ns0(UA_NS0ID_BASEOBJECTTYPE), QUaQualifiedName(1, "Declared"),
                                   &insideType),
             UA_STATUSCODE_GOOD);
    QVERIFY(!m_server->nodeById(insideType));
    QCOMPARE(m_client->deleteNode(insideType), UA_STATUSCODE_GOOD);
}

// The object of a node that a client added under a node without an object,
// and deleted again, stays without a node: its attribute writes fail unreported.
void TestQUaNode::refusedAttributeWritesAreNotReported()
{
    // The objects folder's object outlives its node, which a client may delete.
    QUaNode *orphan = m_server->objectsFolder();
    QCOMPARE(m_client->deleteNode(ns0(UA_NS0ID_OBJECTSFOLDER)), UA_STATUSCODE_GOOD);
    QSignalSpy displayNameChanged(orphan, &QUaNode::displayNameChanged);
    QSignalSpy descriptionChanged(orphan, &QUaNode::descriptionChanged);
    QSignalSpy writeMaskChanged(orphan, &QUaNode::writeMaskChanged);
    orphan->setDisplayName(QUaLocalizedText(QString(), QStringLiteral("Gone")));
    orphan->setDescription(QUaLocalizedText(QString(), QStringLiteral("Gone")));
    orphan->setWriteMask(UA_WRITEMASK_DISPLAYNAME);
    QCOMPARE(displayNameChanged.count() + descriptionChanged.count() + writeMaskChanged.count(), 0);
}

void TestQUaNode::referencesAreReportedByBothEnds()
{
    QUaBaseObject *pump = m_folder->addBaseObject(QUaQualifiedName(1, "Pump"));
    QUaBaseObject *tank = m_folder->addBaseObject(QUaQualifiedName(1, "Tank"));
    QSignalSpy pumpAdded(pump, &QUaNode::referenceAdded);
    QSignalSpy tankAdded(tank, &QUaNode::referenceAdded);
    QSignalSpy tankRemoved(tank, &QUaNode::referenceRemoved);

    // Hierarchical references follow the tree and are left alone.
    pump->addReference(kHasComponent, tank);
    QCOMPARE(pumpAdded.count(), 0);
    pump->addReference(kFeeds, tank);
    pump->addReference(kFeeds, tank);
    QCOMPARE(pumpAdded.count(), 1);
    QCOMPARE(pumpAdded.at(0).at(0).value<QUaReferenceType>(), kFeeds);
    QCOMPARE(pumpAdded.at(0).at(2).toBool(), true);
    QCOMPARE(tankAdded.count(), 1);
    QCOMPARE(tankAdded.at(0).at(1).value<QUaNode *>(), pump);
    QCOMPARE(tankAdded.at(0).at(2).toBool(), false);
    QCOMPARE(tank->findReferences(kFeeds, false), QList<QUaNode *>{pump});
    // Clients see the reference, of a new type with the inverse name.
    const QUaNodeId feedsId = referenceTypeBetween(*m_client, pump, tank);
    QCOMPARE(m_client->readAttribute(feedsId, UA_ATTRIBUTEID_INVERSENAME)
                 .value<QUaLocalizedText>()
                 .text(),
             QStringLiteral("FedBy"));

    pump->removeReference(kFeeds, tank);
    pump->removeReference(kFeeds, tank);
    QCOMPARE(tankRemoved.count(), 1);
    QCOMPARE(tankRemoved.at(0).at(2).toBool(), false);
    QVERIFY(pump->findReferences(kFeeds).isEmpty());

    // Each end reports the reference gone when the other end disappears.
    QUaBaseObject *valve = m_folder->addBaseObject(QUaQualifiedName(1, "Valve"));
    pump->addReference(kFeeds, tank);
    valve->addReference(kFeeds, pump);
    QSignalSpy pumpRemoved(pump, &QUaNode::referenceRemoved);
    delete tank;
    delete valve;
    QCOMPARE(pumpRemoved.count(), 2);
    QCOMPARE(pumpRemoved.at(0).at(2).toBool(), true);
    QCOMPARE(pumpRemoved.at(1).at(2).toBool(), false);
    QVERIFY(pump->findReferences(kFeeds).isEmpty());
    QVERIFY(!m_server->registerReferenceType({QStringLiteral("Other"), QStringLiteral("Inverse")},
                                             ns0(UA_NS0ID_SERVER)));
}

void TestQUaNode::writesTellNetworkFromProgram()
{
    QUaBaseDataVariable *variable = addVariable("Setpoint");
    variable->setDataType(QMetaType::Int);
    variable->setWriteAccess(true);
    // The gateway connects by signature text.
    QSignalSpy valueChanged(variable, SIGNAL(valueChanged(const QVariant &, const bool &)));
    QSignalSpy statusChanged(variable, &QUaBaseVariable::statusCodeChanged);
    QSignalSpy sourceTimeChanged(variable, &QUaBaseVariable::sourceTimestampChanged);

    variable->setValue(7);
    QCOMPARE(valueChanged.at(0), QVariantList({7, false}));
    QCOMPARE(statusChanged.at(0).at(1).toBool(), false);
    QCOMPARE(sourceTimeChanged.count(), 0);
    variable->setValue(8, QUa::Status::Good, kSourceTime);
    QCOMPARE(sourceTimeChanged.at(0).at(0).toDateTime(), kSourceTime);
    QCOMPARE(m_client->readValue(variable->nodeId()), QVariant(8));

    QCOMPARE(m_client->writeValue(variable->nodeId(), 5), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 3);
    QCOMPARE(valueChanged.at(2), QVariantList({5, true}));
    QCOMPARE(variable->value(), QVariant(5));
    // The stack checks a client's value against the data type.
    QVERIFY(m_client->writeValue(variable->nodeId(), QStringLiteral("text")) != UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 3);
}

void TestQUaNode::refusedProgramWriteChangesNothing()
{
    QUaBaseDataVariable *variable = addVariable("Counter");
    variable->setValue(1);
    variable->setValueRank(UA_VALUERANK_SCALAR);
    variable->setWriteAccess(true);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);

    // The stack refuses an array on a scalar node, of the same or another type.
    variable->setValue(QVariantList{1, 2});
    variable->setValue(QVariantList{kSourceTime});
    QCOMPARE(valueChanged.count(), 0);
    QCOMPARE(variable->value(), QVariant(1));
    QCOMPARE(dataTypeSeenByClient(variable), ns0(UA_NS0ID_INT32));

    // The next client write is the network's again.
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.at(0), QVariantList({2, true}));
}

// Without an explicit type the value keeps the variable's type when it
// converts to it, and brings its own (that of its first element) otherwise.
void TestQUaNode::setValueTypeRules_data()
{
    QTest::addColumn<int>("initialType");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("explicitType");
    QTest::addColumn<quint32>("dataTypeSeen");
    QTest::addColumn<QVariant>("stored");
    const auto row = [](const char *name, int initialType, const QVariant &value, int explicitType,
                        quint32 dataTypeSeen, const QVariant &stored) {
        QTest::newRow(name) << initialType << value << explicitType << dataTypeSeen << stored;
    };
    const int none = QMetaType::UnknownType;
    const int untyped = QMetaType::QVariant;
    const int toInt = QMetaType::Int;
    row("text to Int", toInt, QVariant("12"), none, UA_NS0ID_INT32, 12);
    row("list to Int", toInt, QVariantList{"3", 4.0}, none, UA_NS0ID_INT32, QVariantList{3, 4});
    row("untyped takes Int", untyped, 5, none, UA_NS0ID_INT32, 5);
    row("time replaces Int", toInt, kSourceTime, none, UA_NS0ID_DATETIME, kSourceTime);
    row("explicit alias", untyped, 5, QMetaType::LongLong, UA_NS0ID_INT64, qlonglong(5));
    row("list of doubles", untyped, QVariantList{1.5, 2.5}, none, UA_NS0ID_DOUBLE,
        QVariantList{1.5, 2.5});
    row("empty list keeps type", QMetaType::Double, QVariantList(), none, UA_NS0ID_DOUBLE,
        QVariant());
}

void TestQUaNode::setValueTypeRules()
{
    QFETCH(int, initialType);
    QFETCH(QVariant, value);
    QFETCH(int, explicitType);
    QFETCH(quint32, dataTypeSeen);
    QFETCH(QVariant, stored);
    QUaBaseDataVariable *variable = addVariable("Value");
    variable->setDataType(QMetaType::Type(initialType));
    variable->setValue(value, QUa::Status::Good, QDateTime(), QDateTime(),
                       QMetaType::Type(explicitType));
    QCOMPARE(dataTypeSeenByClient(variable), ns0(dataTypeSeen));
    // The variable's own record of its type agrees with the stack.
    QCOMPARE(QUaNodeId(QUaValueConverter::uaNodeIdFromQtType(variable->dataType())),
             ns0(dataTypeSeen));
    const bool isList = stored.userType() == QMetaType::QVariantList;
    QCOMPARE(isList ? QVariant(variable->value().value<QVariantList>()) : variable->value(),
             stored);
}

void TestQUaNode::setDataTypeConvertsTheValue()
{
    QUaBaseDataVariable *variable = addVariable("Ratio");
    variable->setValue(QStringLiteral("2.5"));
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);

    variable->setDataType(QMetaType::Double);
    QCOMPARE(dataTypeSeenByClient(variable), ns0(UA_NS0ID_DOUBLE));
    QCOMPARE(variable->value(), QVariant(2.5));
    QCOMPARE(valueChanged.at(0), QVariantList({2.5, false}));
    variable->setDataType(QMetaType::Double);
    QCOMPARE(valueChanged.count(), 1); // nothing written for the same type
    variable->setProperty("dataType", QVariant::fromValue(QUaDataType(QMetaType::QDateTime)));
    QCOMPARE(dataTypeSeenByClient(variable), ns0(UA_NS0ID_DATETIME));
}

void TestQUaNode::statusAndTimestampsRewriteTheStoredValue()
{
    QUaBaseDataVariable *variable = addVariable("Pressure");
    variable->setValue(3.5, QUa::Status::Good, kSourceTime);
    QSignalSpy statusChanged(variable, &QUaBaseVariable::statusCodeChanged);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);

    variable->setStatusCode(QUa::Status::BadDeviceFailure);
    QCOMPARE(variable->value(), QVariant(3.5));
    QCOMPARE(variable->sourceTimestamp(), kSourceTime);
    QCOMPARE(statusChanged.at(0).at(0).value<QUaStatusCode>(), QUa::Status::BadDeviceFailure);
    QCOMPARE(statusChanged.at(0).at(1).toBool(), false); // the program wrote, not a client
    QCOMPARE(valueChanged.at(0).at(1).toBool(), false);
    UA_StatusCode readStatus = UA_STATUSCODE_GOOD;
    m_client->readValue(variable->nodeId(), &readStatus);
    QCOMPARE(readStatus, UA_StatusCode(QUa::Status::BadDeviceFailure));

    variable->setSourceTimestamp(kSourceTime.addSecs(60));
    QCOMPARE(variable->sourceTimestamp(), kSourceTime.addSecs(60));
    QCOMPARE(variable->statusCode(), QUa::Status::BadDeviceFailure);
    QCOMPARE(variable->value(), QVariant(3.5));
}

// Reported once per real change; a rank the stored value does not fit is refused.
void TestQUaNode::valueRankChangesAreReported()
{
    QUaBaseDataVariable *variable = addVariable("Samples");
    variable->setValue(QVariantList{1, 2});
    QSignalSpy rankChanged(variable, &QUaBaseVariable::valueRankChanged);
    variable->setValueRank(UA_VALUERANK_SCALAR);
    QCOMPARE(rankChanged.count(), 0);
    QCOMPARE(variable->valueRank(), qint32(UA_VALUERANK_ANY));

    variable->setValueRank(UA_VALUERANK_ONE_DIMENSION);
    variable->setValueRank(UA_VALUERANK_ONE_DIMENSION);
    QCOMPARE(rankChanged.count(), 1);
    QCOMPARE(rankChanged.at(0).at(0).toInt(), UA_VALUERANK_ONE_DIMENSION);
    QCOMPARE(m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_VALUERANK).toInt(),
             UA_VALUERANK_ONE_DIMENSION);
}

void TestQUaNode::accessLevelsGateClients()
{
    QUaBaseDataVariable *variable = addVariable("Mode");
    variable->setValue(1);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_BADNOTWRITABLE);
    variable->setWriteAccess(true);
    QCOMPARE(m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt(), 3u);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);

    variable->setReadAccess(false);
    QCOMPARE(variable->accessLevel(), quint8(UA_ACCESSLEVELMASK_WRITE));
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    m_client->readValue(variable->nodeId(), &status);
    QCOMPARE(status, UA_STATUSCODE_BADNOTREADABLE);
}

void TestQUaNode::enumerationDataTypes()
{
    const QMetaEnum status = QMetaEnum::fromType<QUa::Status>();
    m_server->registerEnum(status);
    m_server->registerEnum(status);
    const QUaNodeId enumTypeId(1, "QUa::Status");
    int typeNodes = 0;
    for (const TestClient::Reference &ref : m_client->browse(ns0(UA_NS0ID_ENUMERATION))) {
        typeNodes += ref.targetId == enumTypeId ? 1 : 0;
    }
    QCOMPARE(typeNodes, 1);
    QUaNodeId enumValuesId;
    for (const TestClient::Reference &ref : m_client->browse(enumTypeId)) {
        enumValuesId = ref.browseName.name() == "EnumValues" ? ref.targetId : enumValuesId;
    }
    const QVariantList entries = m_client->call([enumValuesId](UA_Client *client) {
        UA_Variant value;
        UA_Variant_init(&value);
        UA_NodeId id = enumValuesId;
        UA_Client_readValueAttribute(client, id, &value);
        QVariantList result;
        const auto *values = static_cast<const UA_EnumValueType *>(value.data);
        for (size_t i = 0; value.type == &UA_TYPES[UA_TYPES_ENUMVALUETYPE] && i < value.arrayLength;
             ++i) {
            result << qint64(values[i].value)
                   << QUaValueConverter::toQString(values[i].displayName.text);
        }
        UA_NodeId_clear(&id);
        UA_Variant_clear(&value);
        return result;
    });
    QCOMPARE(entries.count(), 2 * status.keyCount());
    QCOMPARE(entries.mid(0, 2), QVariantList({qint64(-2147483647 - 1), QStringLiteral("Bad")}));
    QCOMPARE(entries.mid(14, 2), QVariantList({qint64(0), QStringLiteral("Good")}));

    QUaBaseDataVariable *variable = addVariable("Quality");
    variable->setValue(QStringLiteral("x"));
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    QVERIFY(!variable->setDataTypeEnum(QStringLiteral("QUa::Unknown")));
    QCOMPARE(valueChanged.count(), 0);
    QVERIFY(variable->setDataTypeEnum(QStringLiteral("QUa::Status")));
    QCOMPARE(dataTypeSeenByClient(variable), enumTypeId);
    QCOMPARE(variable->value(), QVariant(0));
    // Clients write enumeration values as integers.
    variable->setWriteAccess(true);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.last(), QVariantList({2, true}));

    // Registered on first use.
    QUaBaseDataVariable *level = addVariable("LogLevel");
    level->setDataTypeEnum(QMetaEnum::fromType<QUa::LogLevel>());
    QCOMPARE(dataTypeSeenByClient(level), QUaNodeId(1, "QUa::LogLevel"));
}

QTEST_GUILESS_MAIN(TestQUaNode)
#include "tst_quanode.moc"
