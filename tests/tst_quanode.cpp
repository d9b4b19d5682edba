// Node objects, variables and application node classes against a real client
// over loopback: nodes added and deleted both ways, attribute writes,
// references, variable writes and types, classes as types, method calls.

#include <QtTest>

#include <stdexcept>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quasignaler.h"
#include "support/serverfixture.h"

namespace
{

template <typename T> T *childNamed(const QUaNode *node, const char *name)
{
    return qobject_cast<T *>(node->browseChild(QUaQualifiedName(0, QString::fromLatin1(name))));
}

QUaNodeId ns0(quint32 id)
{
    return QUaNodeId(0, id);
}

const QUaReferenceType kFeeds{QStringLiteral("Feeds"), QStringLiteral("FedBy")};
const QDateTime kSourceTime = QDateTime::fromString("2024-03-01T10:00:00.000Z", Qt::ISODateWithMs);

} // namespace

class TestMotor : public QUaBaseObject
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *ratedPower READ ratedPower)
public:
    Q_INVOKABLE explicit TestMotor(QUaServer *server) : QUaBaseObject(server) {}
    QUaProperty *ratedPower() const { return childNamed<QUaProperty>(this, "ratedPower"); }
};

// A variable class: a variable type.
class TestGauge : public QUaBaseDataVariable
{
    Q_OBJECT
public:
    Q_INVOKABLE explicit TestGauge(QUaServer *server) : QUaBaseDataVariable(server) {}
};

class TestMachine : public QUaBaseObject
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *serialNumber READ serialNumber)
    Q_PROPERTY(Mode mode READ mode)
    Q_PROPERTY(TestMotor *motor READ motor)
    Q_PROPERTY(TestGauge *pressure READ pressure)
public:
    enum Mode { Stopped, Running };
    Q_ENUM(Mode)
    Q_INVOKABLE explicit TestMachine(QUaServer *server) : QUaBaseObject(server) {}
    QUaProperty *serialNumber() const { return childNamed<QUaProperty>(this, "serialNumber"); }
    TestMotor *motor() const { return childNamed<TestMotor>(this, "motor"); }
    TestGauge *pressure() const { return childNamed<TestGauge>(this, "pressure"); }
    Mode mode() const { return Stopped; }

    Q_INVOKABLE double scaled(double value, int factor) const { return value * factor; }
    Q_INVOKABLE Mode switchTo(Mode mode, const QString & = QString()) { return mode; }
    Q_INVOKABLE void jam() { throw std::runtime_error("jammed"); }
    // More parameters than a method node takes: none is made.
    Q_INVOKABLE void tooMany(int, int, int, int, int, int, int, int, int, int, int) {}
};

// A subclass whose base class has not been registered when it is.
class TestSpecialMachine : public TestMachine
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *certificate READ certificate)
public:
    Q_INVOKABLE explicit TestSpecialMachine(QUaServer *server) : TestMachine(server) {}
    QUaProperty *certificate() const { return childNamed<QUaProperty>(this, "certificate"); }
    Q_INVOKABLE QString certify() { return serialNumber()->value().toString() + "-ok"; }
};

class TestQUaNode : public QObject
{
    Q_OBJECT

    std::unique_ptr<QUaServer> m_server;
    std::unique_ptr<TestClient> m_client;
    QUaFolderObject *m_folder = nullptr;

    QUaNodeId dataTypeSeen(const QUaNodeId &id)
    {
        return m_client->readAttribute(id, UA_ATTRIBUTEID_DATATYPE).value<QUaNodeId>();
    }
    UA_StatusCode readStatus(const QUaNodeId &id, UA_AttributeId attribute = UA_ATTRIBUTEID_VALUE)
    {
        UA_StatusCode status = UA_STATUSCODE_GOOD;
        m_client->readAttribute(id, attribute, &status);
        return status;
    }
    // The client's forward references from the node to the name or of the type.
    QList<TestClient::Reference> named(const QUaNodeId &id, const QString &name, quint32 type = 0)
    {
        QList<TestClient::Reference> found;
        for (const TestClient::Reference &ref : m_client->browse(id)) {
            if (ref.browseName.name() == name || ref.referenceTypeId == ns0(type)) {
                found.append(ref);
            }
        }
        return found;
    }
    QUaNodeId child(const QUaNodeId &id, QString name) { return childOf(*m_client, id, name); }
    QUaNodeId target(const QUaNodeId &id, quint32 type) { return named(id, {}, type)[0].targetId; }
    QUaNodeId referenceTypeTo(const QUaNode *source, const QUaNode *node)
    {
        return named(source->nodeId(), node->browseName().name()).value(0).referenceTypeId;
    }

private slots:
    void init()
    {
        m_client.reset();
        m_server = newServer();
        m_folder = m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
        QVERIFY(m_server->start());
        m_client = std::make_unique<TestClient>();
        QCOMPARE(m_client->connect(m_server->port()), UA_STATUSCODE_GOOD);
    }

    // Children hang on the reference their kind asks for; names and ids in use are refused.
    void addingNodes()
    {
        QSignalSpy childAdded(m_folder, &QUaNode::childAdded);
        QUaBaseObject *line = m_folder->addBaseObject(QUaQualifiedName(1, "Line"));
        QUaProperty *unit = line->addProperty(QUaQualifiedName(1, "Unit"));
        QCOMPARE(referenceTypeTo(m_folder, line), ns0(UA_NS0ID_ORGANIZES));
        QCOMPARE(referenceTypeTo(line, unit), ns0(UA_NS0ID_HASPROPERTY));
        QVERIFY(!m_folder->addFolderObject(QUaQualifiedName(1, "Line")));
        QVERIFY(!m_folder->addProperty(QUaQualifiedName(1, "Server"), ns0(UA_NS0ID_SERVER)));
        QCOMPARE(childAdded.count(), 1);
        QVERIFY(m_folder->addFolderObject(QUaQualifiedName(2, "Line"))); // another namespace
    }

    // An object deletes its subtree, leaves first; a node a client deletes loses its object
    // later, which leaves a new node of the id alone; writes to it are not reported.
    void deletingNodes()
    {
        QUaBaseObject *line = m_folder->addBaseObject(QUaQualifiedName(1, "Line"));
        QUaProperty *unit = line->addProperty(QUaQualifiedName(1, "Unit"));
        const QUaNodeId unitId = unit->nodeId();
        QStringList order;
        for (QUaNode *node : QList<QUaNode *>{m_folder, line, unit}) {
            const QString name = node->browseName().name();
            connect(node, &QObject::destroyed, this, [&order, name] { order << name; });
        }
        delete m_folder;
        QCOMPARE(order, QStringList({"Unit", "Line", "Plant"}));
        QCOMPARE(readStatus(unitId, UA_ATTRIBUTEID_NODEID), UA_STATUSCODE_BADNODEIDUNKNOWN);
        QUaNode *objects = m_server->objectsFolder();
        const QUaNodeId id(1, 900u);
        QPointer<TestMachine> press = objects->addChild<TestMachine>(QUaQualifiedName(1, "M"), id);
        QPointer<QUaProperty> serialNumber = press->serialNumber();
        QCOMPARE(m_client->deleteNode(id), UA_STATUSCODE_BADUSERACCESSDENIED); // by default
        m_server->setNodeManagementAllowed(true);
        QCOMPARE(m_client->deleteNode(id), UA_STATUSCODE_GOOD);
        QUaNode *replacement = objects->addChild<QUaBaseObject>(QUaQualifiedName(1, "New"), id);
        QTRY_VERIFY(press.isNull() && serialNumber.isNull());
        QCOMPARE(m_server->nodeById(id), replacement); // from the stack's node
        // The objects folder's object outlives its node, which a client may delete.
        QSignalSpy displayNameChanged(objects, &QUaNode::displayNameChanged);
        QSignalSpy writeMaskChanged(objects, &QUaNode::writeMaskChanged);
        objects->setDisplayName(QUaLocalizedText(QString(), QStringLiteral("Here")));
        QCOMPARE(displayNameChanged.count(), 1);
        QCOMPARE(m_client->deleteNode(ns0(UA_NS0ID_OBJECTSFOLDER)), UA_STATUSCODE_GOOD);
        objects->setDisplayName(QUaLocalizedText(QString(), QStringLiteral("Gone")));
        objects->setWriteMask(UA_WRITEMASK_DISPLAYNAME);
        QCOMPARE(displayNameChanged.count() + writeMaskChanged.count(), 1);
    }

    void referencesAreReportedByBothEnds()
    {
        QUaBaseObject *pump = m_folder->addBaseObject(QUaQualifiedName(1, "Pump"));
        QUaBaseObject *tank = m_folder->addBaseObject(QUaQualifiedName(1, "Tank"));
        QUaBaseObject *valve = m_folder->addBaseObject(QUaQualifiedName(1, "Valve"));
        QSignalSpy added(tank, &QUaNode::referenceAdded);
        QSignalSpy removed(pump, &QUaNode::referenceRemoved);
        // Hierarchical references follow the tree and are left alone.
        pump->addReference({QStringLiteral("HasComponent"), QStringLiteral("ComponentOf")}, tank);
        pump->addReference(kFeeds, tank);
        pump->addReference(kFeeds, tank);
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(1).value<QUaNode *>(), pump);
        QCOMPARE(added.at(0).at(2).toBool(), false);    // not forward from the tank
        QVERIFY(!referenceTypeTo(pump, tank).isNull()); // clients see it
        pump->removeReference(kFeeds, tank);
        pump->removeReference(kFeeds, tank);
        QCOMPARE(removed.count(), 1);
        // Each end reports the reference gone when the other end disappears.
        pump->addReference(kFeeds, tank);
        valve->addReference(kFeeds, pump);
        delete tank;
        delete valve;
        QCOMPARE(removed.count(), 3);
        QVERIFY(pump->findReferences(kFeeds).isEmpty());
        QVERIFY(!m_server->registerReferenceType({QStringLiteral("Other"), QStringLiteral("By")},
                                                 ns0(UA_NS0ID_SERVER))); // an id in use
    }

    // Only clients' writes are the network's, not the program's status and time writes;
    // refusals change nothing; access levels gate clients; a rank change is reported once.
    void variableWrites()
    {
        auto *variable = m_folder->addBaseDataVariable(QUaQualifiedName(1, "Setpoint"));
        // The gateway connects by signature text.
        QSignalSpy valueChanged(variable, SIGNAL(valueChanged(const QVariant &, const bool &)));
        QSignalSpy statusChanged(variable, &QUaBaseVariable::statusCodeChanged);
        QSignalSpy rankChanged(variable, &QUaBaseVariable::valueRankChanged);
        variable->setValue(8, QUa::Status::Good, kSourceTime);
        QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_BADNOTWRITABLE);
        variable->setWriteAccess(true);
        variable->setStatusCode(QUa::Status::BadDeviceFailure);
        variable->setSourceTimestamp(kSourceTime.addSecs(60));
        QCOMPARE(statusChanged.last().at(1).toBool(), false);
        QCOMPARE(valueChanged.last(), QVariantList({8, false}));
        QCOMPARE(readStatus(variable->nodeId()), UA_StatusCode(QUa::Status::BadDeviceFailure));
        // The stack refuses an array on a scalar node, of the same or another type.
        variable->setValueRank(UA_VALUERANK_SCALAR);
        const int programWrites = valueChanged.count();
        variable->setValue(QVariantList{1, 2});
        variable->setValue(QVariantList{kSourceTime});
        QCOMPARE(valueChanged.count(), programWrites);
        QCOMPARE(variable->value(), QVariant(8));
        QCOMPARE(dataTypeSeen(variable->nodeId()), ns0(UA_NS0ID_INT32));
        QCOMPARE(m_client->writeValue(variable->nodeId(), 5), UA_STATUSCODE_GOOD);
        QCOMPARE(valueChanged.last(), QVariantList({5, true}));
        variable->setValueRank(UA_VALUERANK_ONE_DIMENSION); // the scalar does not fit
        variable->setValueRank(UA_VALUERANK_SCALAR);
        QCOMPARE(rankChanged.count(), 1);
        variable->setReadAccess(false);
        QCOMPARE(readStatus(variable->nodeId()), UA_STATUSCODE_BADNOTREADABLE);
    }

    // A value keeps the variable's type if it converts, else brings its own (its first
    // element's); setDataType converts the value, a type the stack refuses changes nothing.
    void valueTypes()
    {
        QUaBaseDataVariable *variable = m_folder->addBaseDataVariable(QUaQualifiedName(1, "Value"));
        // The variable's own record of its type agrees with the stack's.
        auto typeIs = [this, variable](quint32 type) {
            const QUaNodeId own(QUaValueConverter::uaNodeIdFromQtType(variable->dataType()));
            return dataTypeSeen(variable->nodeId()) == ns0(type) && own == ns0(type);
        };
        variable->setValue(5);
        variable->setValue(QStringLiteral("12"));
        QCOMPARE(variable->value(), QVariant(12));
        variable->setValue(QVariantList{"3", 4.0});
        QCOMPARE(variable->value().value<QVariantList>(), (QVariantList{3, 4}));
        variable->setValue(QVariantList());
        QVERIFY(typeIs(UA_NS0ID_INT32));
        variable->setValue(kSourceTime);
        QVERIFY(typeIs(UA_NS0ID_DATETIME));
        variable->setValue(QVariantList{1.5, 2.5});
        QVERIFY(typeIs(UA_NS0ID_DOUBLE));
        variable->setValue(5, QUa::Status::Good, QDateTime(), QDateTime(), QMetaType::LongLong);
        QVERIFY(typeIs(UA_NS0ID_INT64));
        variable->setValue(QStringLiteral("2.5"), QUa::Status::Uncertain, QDateTime(), QDateTime(),
                           QMetaType::QString);
        QVERIFY(typeIs(UA_NS0ID_STRING));

        variable->setDataType(QMetaType::QPoint);
        QVERIFY(typeIs(UA_NS0ID_STRING));
        QCOMPARE(variable->value(), QVariant("2.5"));
        QCOMPARE(variable->statusCode(), QUa::Status::Uncertain);
        QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
        variable->setDataType(QMetaType::Double);
        QVERIFY(typeIs(UA_NS0ID_DOUBLE));
        QCOMPARE(valueChanged.at(0), QVariantList({2.5, false}));
        variable->setDataType(QMetaType::Double);
        QCOMPARE(valueChanged.count(), 1); // nothing written for the same type
        // Text that does not convert to the variable's type brings its own.
        variable->setValue(QStringLiteral("x"));
        QCOMPARE(variable->value(), QVariant("x"));
        QVERIFY(typeIs(UA_NS0ID_STRING));
    }

    void enumerationDataTypes()
    {
        m_server->registerEnum(QMetaEnum::fromType<QUa::Status>());
        m_server->registerEnum(QMetaEnum::fromType<QUa::Status>());
        const QUaNodeId enumTypeId(1, "QUa::Status");
        QCOMPARE(named(ns0(UA_NS0ID_ENUMERATION), "QUa::Status").count(), 1);
        QVERIFY(!child(enumTypeId, "EnumValues").isNull());
        auto *variable = m_folder->addBaseDataVariable(QUaQualifiedName(1, "Quality"));
        variable->setValue(QStringLiteral("x"));
        variable->setWriteAccess(true);
        QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
        QVERIFY(!variable->setDataTypeEnum(QStringLiteral("QUa::Unknown")));
        QVERIFY(variable->setDataTypeEnum(QStringLiteral("QUa::Status")));
        QCOMPARE(dataTypeSeen(variable->nodeId()), enumTypeId);
        QCOMPARE(variable->value(), QVariant(0));
        // Clients write enumeration values as integers.
        QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
        QCOMPARE(valueChanged.last(), QVariantList({2, true}));
        // Registered on first use.
        auto *level = m_folder->addBaseDataVariable(QUaQualifiedName(1, "LogLevel"));
        level->setDataTypeEnum(QMetaEnum::fromType<QUa::LogLevel>());
        QCOMPARE(dataTypeSeen(level->nodeId()), QUaNodeId(1, "QUa::LogLevel"));
    }

    // Classes are types below their base classes' (registered first, once), node properties
    // mandatory children of their class's type, bound in instances, also in those that
    // clients add, which are announced. Declarations and nodes under types get no objects.
    void classesAsTypesInstancesAndMethods()
    {
        m_server->setNodeManagementAllowed(true);
        const QUaNodeId baseObjectType = ns0(UA_NS0ID_BASEOBJECTTYPE);
        m_server->registerType(TestMotor::staticMetaObject, ns0(UA_NS0ID_SERVER)); // an id in use
        QVERIFY(child(baseObjectType, "TestMotor").isNull());
        m_server->registerType(TestSpecialMachine::staticMetaObject);
        m_server->registerType(TestMachine::staticMetaObject);
        QCOMPARE(named(baseObjectType, "TestMachine").count(), 1);
        const QUaNodeId machineType = child(baseObjectType, "TestMachine");
        QVERIFY(!child(machineType, "TestSpecialMachine").isNull());
        const QUaNodeId motor = child(machineType, "motor");
        QCOMPARE(target(child(machineType, "serialNumber"), UA_NS0ID_HASTYPEDEFINITION),
                 ns0(UA_NS0ID_PROPERTYTYPE));
        QCOMPARE(target(motor, UA_NS0ID_HASTYPEDEFINITION), child(baseObjectType, "TestMotor"));
        QCOMPARE(target(motor, UA_NS0ID_HASMODELLINGRULE), ns0(UA_NS0ID_MODELLINGRULE_MANDATORY));
        QVERIFY(!m_server->nodeById(motor));
        QCOMPARE(target(child(machineType, "pressure"), UA_NS0ID_HASTYPEDEFINITION),
                 child(ns0(UA_NS0ID_BASEDATAVARIABLETYPE), "TestGauge"));
        const QUaNodeId modeType = dataTypeSeen(child(machineType, "mode"));
        const QVariant modeName = m_client->readAttribute(modeType, UA_ATTRIBUTEID_BROWSENAME);
        QCOMPARE(modeName.value<QUaQualifiedName>().name(), QStringLiteral("TestMachine::Mode"));
        // A default argument makes no second method node.
        QCOMPARE(named(machineType, "switchTo").count(), 1);
        QVERIFY(child(machineType, "tooMany").isNull());

        QUaSignaler *signaler = m_server->newInstanceSignaler(TestMachine::staticMetaObject);
        QSignalSpy newInstance(signaler, &QUaSignaler::signalNewInstance);
        QSignalSpy childAdded(m_folder, &QUaNode::childAdded);
        auto *press = m_folder->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
        QVERIFY(press->motor()->ratedPower() && press->pressure());
        QCOMPARE(press->serialNumber()->nodeId(), child(press->nodeId(), "serialNumber"));
        auto *special = press->addChild<TestSpecialMachine>(QUaQualifiedName(1, "Special"));
        QVERIFY(special->certificate() && special->motor()->ratedPower());
        QUaNodeId id;
        QCOMPARE(m_client->addObject(m_folder->nodeId(), QUaNodeId(1, QStringLiteral("Client")),
                                     QUaQualifiedName(1, "Client"), machineType, &id),
                 UA_STATUSCODE_GOOD);
        auto *fromClient = qobject_cast<TestMachine *>(m_server->nodeById(id));
        QVERIFY(fromClient && fromClient->motor()->ratedPower());
        QCOMPARE(childAdded.last().at(0).value<QUaNode *>(), fromClient);
        QCOMPARE(newInstance.count(), 2); // not the subclass's instance
        QCOMPARE(newInstance.at(1).at(0).value<QUaNode *>(), fromClient);
        QCOMPARE(m_client->addVariable(m_folder->nodeId(), QUaQualifiedName(1, "Var"), &id),
                 UA_STATUSCODE_GOOD);
        QVERIFY(qobject_cast<QUaBaseDataVariable *>(m_server->nodeById(id)));
        QCOMPARE(m_client->addVariable(baseObjectType, QUaQualifiedName(1, "Var"), &id),
                 UA_STATUSCODE_GOOD);
        QVERIFY(!m_server->nodeById(id));

        // Clients call methods of the class and its base class; a throwing one fails, and so
        // does a call on an object of another class that a client made refer to the method.
        special->serialNumber()->setValue(QStringLiteral("SN-7"));
        QUaBaseObject *other = m_folder->addBaseObject(QUaQualifiedName(1, "Other"));
        const QUaNodeId scaled = child(press->nodeId(), "scaled");
        QCOMPARE(m_client->addReference(other->nodeId(), ns0(UA_NS0ID_HASCOMPONENT), scaled,
                                        UA_NODECLASS_METHOD),
                 UA_STATUSCODE_GOOD);
        auto call = [&](QUaNode *object, const char *method, const QVariantList &inputs) {
            const QUaNodeId objectId = object->nodeId();
            const QUaNodeId methodId = object == other ? scaled : child(objectId, method);
            return callMethod(*m_client, objectId, methodId, inputs);
        };
        const int running = TestMachine::Running;
        QCOMPARE(call(fromClient, "scaled", {3.0, 3}).outputs, QVariantList{9.0});
        QCOMPARE(call(press, "switchTo", {running, "now"}).outputs, QVariantList{running});
        QCOMPARE(call(special, "certify", {}).outputs, QVariantList{"SN-7-ok"});
        QCOMPARE(call(special, "scaled", {1.5, 2}).outputs, QVariantList{3.0});
        QCOMPARE(call(press, "jam", {}).status, UA_STATUSCODE_BADINTERNALERROR);
        QCOMPARE(call(press, "scaled", {"x", 4}).status, UA_STATUSCODE_BADINVALIDARGUMENT);
        QCOMPARE(call(other, "scaled", {2.5, 4}).status, UA_STATUSCODE_BADMETHODINVALID);
    }
};

QTEST_GUILESS_MAIN(TestQUaNode)
#include "tst_quanode.moc"
