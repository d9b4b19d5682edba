// Application node classes as OPC UA types: the type tree, the children and
// methods a class declares, instances made by the program and by clients,
// method calls from a client, and new-instance signalers.

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <stdexcept>
#include <vector>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "quasignaler.h"
#include "support/testclient.h"

namespace
{

template <typename T> T *childNamed(const QUaNode *node, const char *name)
{
    return qobject_cast<T *>(node->browseChild(QUaQualifiedName(0, QString::fromLatin1(name))));
}

} // namespace

// A variable class with a property of its own.
class TestGauge : public QUaBaseDataVariable
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *unit READ unit)

public:
    Q_INVOKABLE explicit TestGauge(QUaServer *server) : QUaBaseDataVariable(server) {}
    QUaProperty *unit() const { return childNamed<QUaProperty>(this, "unit"); }
};

class TestMotor : public QUaBaseObject
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *ratedPower READ ratedPower)

public:
    Q_INVOKABLE explicit TestMotor(QUaServer *server) : QUaBaseObject(server) {}
    QUaProperty *ratedPower() const { return childNamed<QUaProperty>(this, "ratedPower"); }
};

class TestMachine : public QUaBaseObject
{
    Q_OBJECT
    Q_PROPERTY(QUaProperty *serialNumber READ serialNumber)
    Q_PROPERTY(QUaBaseDataVariable *speed READ speed)
    Q_PROPERTY(Mode mode READ mode WRITE setMode)
    Q_PROPERTY(TestMotor *motor READ motor)
    Q_PROPERTY(TestGauge *pressure READ pressure)
    Q_PROPERTY(QString label READ label)

public:
    enum Mode { Stopped = 0, Running = 1, Maintenance = 5 };
    Q_ENUM(Mode)

    Q_INVOKABLE explicit TestMachine(QUaServer *server) : QUaBaseObject(server) {}

    QUaProperty *serialNumber() const { return childNamed<QUaProperty>(this, "serialNumber"); }
    QUaBaseDataVariable *speed() const { return childNamed<QUaBaseDataVariable>(this, "speed"); }
    TestMotor *motor() const { return childNamed<TestMotor>(this, "motor"); }
    TestGauge *pressure() const { return childNamed<TestGauge>(this, "pressure"); }
    Mode mode() const { return Mode(modeVariable()->value().toInt()); }
    void setMode(Mode mode) { modeVariable()->setValue(int(mode)); }
    QString label() const { return QStringLiteral("press"); }

    Q_INVOKABLE double scaled(double value, int factor) const { return value * factor; }
    Q_INVOKABLE QString describe(Mode mode, const QString &prefix = QString()) const
    {
        return prefix + QString::fromLatin1(QMetaEnum::fromType<Mode>().valueToKey(mode));
    }
    Q_INVOKABLE Mode switchTo(Mode mode)
    {
        setMode(mode);
        return this->mode();
    }
    Q_INVOKABLE QString joined(const QStringList &parts) const
    {
        return parts.join(QLatin1Char('+'));
    }
    Q_INVOKABLE void jam() { throw std::runtime_error("jammed"); }
    Q_INVOKABLE int tooMany(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j,
                            int k)
    {
        return a + b + c + d + e + f + g + h + i + j + k;
    }

private:
    QUaBaseDataVariable *modeVariable() const
    {
        return childNamed<QUaBaseDataVariable>(this, "mode");
    }
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

class TestQUaCustomTypes : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typesFollowTheClassTree();
    void typeIdInUseRefusesTheRegistration();
    void typeDeclaresPropertyChildrenAsMandatory();
    void typeDeclaresInvokableMethods();
    void instanceBindsChildrenToItsProperties();
    void clientCallsMethodsWithArguments();
    void invocationErrorsReachTheClientAsBadStatus();
    void clientAddsAnInstanceOfACustomType();
    void signalerAnnouncesNewInstancesOfItsTypeOnly();
    void clientDeletingAnInstanceDeletesItsObjectLater();

private:
    QUaNodeId typeNode(const QUaNodeId &superTypeId, const QString &className);
    QUaNodeId childOf(const QUaNodeId &nodeId, const QString &name);

    QUaServer *m_server = nullptr;
    TestClient *m_client = nullptr;
};

namespace
{

const QUaNodeId kHasSubtype(0, UA_NS0ID_HASSUBTYPE);
const QUaNodeId kHasProperty(0, UA_NS0ID_HASPROPERTY);
const QUaNodeId kHasComponent(0, UA_NS0ID_HASCOMPONENT);
const QUaNodeId kHasModellingRule(0, UA_NS0ID_HASMODELLINGRULE);
const QUaNodeId kHasTypeDefinition(0, UA_NS0ID_HASTYPEDEFINITION);
const QUaNodeId kBaseObjectType(0, UA_NS0ID_BASEOBJECTTYPE);
const QUaNodeId kMandatory(0, UA_NS0ID_MODELLINGRULE_MANDATORY);

struct Argument {
    QString name;
    QUaNodeId dataType;
    int valueRank;
    QString description;
};

struct CallResult {
    UA_StatusCode status;
    QVariantList outputs;
};

// The references of one type from the node, in the client's view.
QList<TestClient::Reference> referencesOf(TestClient &client, const QUaNodeId &nodeId,
                                          const QUaNodeId &referenceTypeId,
                                          UA_BrowseDirection direction = UA_BROWSEDIRECTION_FORWARD)
{
    QList<TestClient::Reference> found;
    for (const TestClient::Reference &ref : client.browse(nodeId, direction)) {
        if (ref.referenceTypeId == referenceTypeId) {
            found.append(ref);
        }
    }
    return found;
}

// The arguments a method node declares in its InputArguments or
// OutputArguments property, read by the client.
QList<Argument> argumentsOf(TestClient &client, const QUaNodeId &argumentsNodeId)
{
    return client.call([argumentsNodeId](UA_Client *c) {
        UA_Variant value;
        UA_Variant_init(&value);
        UA_NodeId id = argumentsNodeId;
        UA_Client_readValueAttribute(c, id, &value);
        UA_NodeId_clear(&id);
        QList<Argument> arguments;
        if (value.type == &UA_TYPES[UA_TYPES_ARGUMENT]) {
            const auto *items = static_cast<const UA_Argument *>(value.data);
            const size_t count = UA_Variant_isScalar(&value) ? 1 : value.arrayLength;
            for (size_t i = 0; i < count; ++i) {
                arguments.append({QUaValueConverter::toQString(items[i].name), items[i].dataType,
                                  items[i].valueRank,
                                  QUaValueConverter::toQString(items[i].description.text)});
            }
        }
        UA_Variant_clear(&value);
        return arguments;
    });
}

CallResult callMethod(TestClient &client, const QUaNodeId &objectId, const QUaNodeId &methodId,
                      const QVariantList &inputs)
{
    return client.call([objectId, methodId, inputs](UA_Client *c) {
        std::vector<UA_Variant> input;
        for (const QVariant &value : inputs) {
            input.push_back(QUaValueConverter::toUaVariant(value));
        }
        UA_NodeId object = objectId;
        UA_NodeId method = methodId;
        size_t outputSize = 0;
        UA_Variant *output = nullptr;
        CallResult result{
            UA_Client_call(c, object, method, input.size(), input.data(), &outputSize, &output),
            {}};
        for (size_t i = 0; i < outputSize; ++i) {
            result.outputs.append(QUaValueConverter::toQVariant(output[i]));
        }
        UA_Array_delete(output, outputSize, &UA_TYPES[UA_TYPES_VARIANT]);
        for (UA_Variant &variant : input) {
            UA_Variant_clear(&variant);
        }
        UA_NodeId_clear(&object);
        UA_NodeId_clear(&method);
        return result;
    });
}

UA_NodeClass nodeClassOf(TestClient &client, const QUaNodeId &nodeId)
{
    return client.call([nodeId](UA_Client *c) {
        UA_NodeId id = nodeId;
        UA_NodeClass nodeClass = UA_NODECLASS_UNSPECIFIED;
        UA_Client_readNodeClassAttribute(c, id, &nodeClass);
        UA_NodeId_clear(&id);
        return nodeClass;
    });
}

} // namespace

void TestQUaCustomTypes::init()
{
    m_server = new QUaServer;
    m_server->setPort(freeLoopbackPort());
    m_server->setNodeManagementAllowed(true); // for the instances that clients add and delete
    QVERIFY(m_server->start());
    m_client = new TestClient;
    QCOMPARE(m_client->connect(m_server->port()), UA_STATUSCODE_GOOD);
}

void TestQUaCustomTypes::cleanup()
{
    delete m_client;
    delete m_server;
}

// The type node of a class among the subtypes of a type; null when it has
// none, and a failure when it has several.
QUaNodeId TestQUaCustomTypes::typeNode(const QUaNodeId &superTypeId, const QString &className)
{
    QList<QUaNodeId> found;
    for (const TestClient::Reference &ref : referencesOf(*m_client, superTypeId, kHasSubtype)) {
        if (ref.browseName == QUaQualifiedName(0, className)) {
            found.append(ref.targetId);
        }
    }
    if (found.count() > 1) {
        QTest::qFail("several type nodes for one class", __FILE__, __LINE__);
    }
    return found.value(0);
}

QUaNodeId TestQUaCustomTypes::childOf(const QUaNodeId &nodeId, const QString &name)
{
    for (const TestClient::Reference &ref : m_client->browse(nodeId)) {
        if (ref.browseName.name() == name) {
            return ref.targetId;
        }
    }
    return QUaNodeId();
}

void TestQUaCustomTypes::typesFollowTheClassTree()
{
    // The base class is not registered yet: it goes first.
    m_server->registerType(TestSpecialMachine::staticMetaObject);
    m_server->registerType(TestSpecialMachine::staticMetaObject);
    m_server->registerType(TestMachine::staticMetaObject);
    const QUaNodeId machineType = typeNode(kBaseObjectType, "TestMachine");
    QVERIFY(!machineType.isNull());
    const QUaNodeId specialType = typeNode(machineType, "TestSpecialMachine");
    QVERIFY(!specialType.isNull());
    QCOMPARE(nodeClassOf(*m_client, specialType), UA_NODECLASS_OBJECTTYPE);

    // A variable class is a VariableType, reached here through the class's
    // node-pointer property.
    const QUaNodeId gaugeType =
        typeNode(QUaNodeId(0, UA_NS0ID_BASEDATAVARIABLETYPE), QStringLiteral("TestGauge"));
    QVERIFY(!gaugeType.isNull());
    QCOMPARE(nodeClassOf(*m_client, gaugeType), UA_NODECLASS_VARIABLETYPE);
}

void TestQUaCustomTypes::typeIdInUseRefusesTheRegistration()
{
    m_server->registerType(TestMotor::staticMetaObject, QUaNodeId(0, UA_NS0ID_SERVER));
    QVERIFY(typeNode(kBaseObjectType, "TestMotor").isNull());

    const QUaNodeId wanted(1, QStringLiteral("MotorType"));
    m_server->registerType(TestMotor::staticMetaObject, wanted);
    QCOMPARE(typeNode(kBaseObjectType, "TestMotor"), wanted);
}

void TestQUaCustomTypes::typeDeclaresPropertyChildrenAsMandatory()
{
    m_server->registerType(TestMachine::staticMetaObject);
    const QUaNodeId machineType = typeNode(kBaseObjectType, "TestMachine");
    const QUaNodeId motorType = typeNode(kBaseObjectType, "TestMotor");
    QVERIFY(!motorType.isNull());

    struct Expected {
        QString name;
        QUaNodeId referenceType;
        QUaNodeId typeDefinition;
    };
    const QList<Expected> expected = {
        {"serialNumber", kHasProperty, QUaNodeId(0, UA_NS0ID_PROPERTYTYPE)},
        {"speed", kHasComponent, QUaNodeId(0, UA_NS0ID_BASEDATAVARIABLETYPE)},
        {"mode", kHasComponent, QUaNodeId(0, UA_NS0ID_BASEDATAVARIABLETYPE)},
        {"motor", kHasComponent, motorType},
        {"pressure", kHasComponent,
         typeNode(QUaNodeId(0, UA_NS0ID_BASEDATAVARIABLETYPE), "TestGauge")},
    };
    const QList<TestClient::Reference> children = m_client->browse(machineType);
    for (const Expected &child : expected) {
        auto found = std::find_if(children.cbegin(), children.cend(), [&](const auto &ref) {
            return ref.browseName == QUaQualifiedName(0, child.name);
        });
        QVERIFY2(found != children.cend(), qPrintable(child.name));
        QCOMPARE(found->referenceTypeId, child.referenceType);
        const auto definitions = referencesOf(*m_client, found->targetId, kHasTypeDefinition);
        QCOMPARE(definitions.value(0).targetId, child.typeDefinition);
        const auto rules = referencesOf(*m_client, found->targetId, kHasModellingRule);
        QCOMPARE(rules.value(0).targetId, kMandatory);
        // Type children are declarations: they have no objects.
        QVERIFY(!m_server->nodeById(found->targetId));
    }
    QVERIFY(childOf(machineType, "label").isNull());

    // The enumeration property's child takes the enumeration as data type.
    const QUaNodeId modeType =
        m_client->readAttribute(childOf(machineType, "mode"), UA_ATTRIBUTEID_DATATYPE)
            .value<QUaNodeId>();
    QCOMPARE(m_client->readAttribute(modeType, UA_ATTRIBUTEID_BROWSENAME)
                 .value<QUaQualifiedName>()
                 .name(),
             QStringLiteral("TestMachine::Mode"));
}

void TestQUaCustomTypes::typeDeclaresInvokableMethods()
{
    m_server->registerType(TestMachine::staticMetaObject);
    const QUaNodeId machineType = typeNode(kBaseObjectType, "TestMachine");

    const QUaNodeId scaled = childOf(machineType, "scaled");
    QCOMPARE(nodeClassOf(*m_client, scaled), UA_NODECLASS_METHOD);
    QCOMPARE(referencesOf(*m_client, scaled, kHasModellingRule).value(0).targetId, kMandatory);
    const QList<Argument> inputs = argumentsOf(*m_client, childOf(scaled, "InputArguments"));
    QCOMPARE(inputs.count(), 2);
    QCOMPARE(inputs.at(0).name, QStringLiteral("value"));
    QCOMPARE(inputs.at(0).dataType, QUaNodeId(0, UA_NS0ID_DOUBLE));
    QCOMPARE(inputs.at(0).valueRank, UA_VALUERANK_SCALAR);
    QCOMPARE(inputs.at(0).description, QStringLiteral("Method Argument"));
    QCOMPARE(inputs.at(1).name, QStringLiteral("factor"));
    QCOMPARE(inputs.at(1).dataType, QUaNodeId(0, UA_NS0ID_INT32));
    const QList<Argument> outputs = argumentsOf(*m_client, childOf(scaled, "OutputArguments"));
    QCOMPARE(outputs.count(), 1);
    QCOMPARE(outputs.at(0).name, QStringLiteral("Result"));
    QCOMPARE(outputs.at(0).description, QStringLiteral("Result Value"));
    QCOMPARE(outputs.at(0).dataType, QUaNodeId(0, UA_NS0ID_DOUBLE));

    // Enumerations travel by their data type, string lists as arrays.
    const QUaNodeId modeType =
        m_client->readAttribute(childOf(machineType, "mode"), UA_ATTRIBUTEID_DATATYPE)
            .value<QUaNodeId>();
    const QUaNodeId switchTo = childOf(machineType, "switchTo");
    QCOMPARE(argumentsOf(*m_client, childOf(switchTo, "InputArguments")).value(0).dataType,
             modeType);
    QCOMPARE(argumentsOf(*m_client, childOf(switchTo, "OutputArguments")).value(0).dataType,
             modeType);
    const Argument parts =
        argumentsOf(*m_client, childOf(childOf(machineType, "joined"), "InputArguments")).value(0);
    QCOMPARE(parts.dataType, QUaNodeId(0, UA_NS0ID_STRING));
    QCOMPARE(parts.valueRank, UA_VALUERANK_ONE_DIMENSION);
    QVERIFY(childOf(childOf(machineType, "jam"), "OutputArguments").isNull());

    // A default argument makes no second method node; more than ten
    // parameters make none.
    int describeNodes = 0;
    for (const TestClient::Reference &ref : m_client->browse(machineType)) {
        describeNodes += ref.browseName.name() == QLatin1String("describe");
    }
    QCOMPARE(describeNodes, 1);
    QCOMPARE(
        argumentsOf(*m_client, childOf(childOf(machineType, "describe"), "InputArguments")).count(),
        2);
    QVERIFY(childOf(machineType, "tooMany").isNull());
}

void TestQUaCustomTypes::instanceBindsChildrenToItsProperties()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    QSignalSpy childAdded(objects, &QUaNode::childAdded);
    auto *machine = objects->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
    QVERIFY(machine);
    QCOMPARE(childAdded.count(), 1);
    QCOMPARE(machine->parent(), objects);

    const QList<QUaNode *> children = {machine->serialNumber(), machine->speed(), machine->motor(),
                                       machine->pressure()};
    for (QUaNode *child : children) {
        QVERIFY(child);
        QCOMPARE(child->parent(), machine);
        QCOMPARE(child->nodeId(), childOf(machine->nodeId(), child->browseName().name()));
    }
    QCOMPARE(machine->serialNumber()->objectName(), QUaQualifiedName(0, "serialNumber").toString());
    QVERIFY(machine->motor()->ratedPower());
    QCOMPARE(machine->motor()->ratedPower()->parent(), machine->motor());
    QVERIFY(machine->pressure()->unit());
    QCOMPARE(machine->pressure()->unit()->parent(), machine->pressure());

    // The enumeration property reads and writes its child.
    machine->setMode(TestMachine::Maintenance);
    QCOMPARE(machine->mode(), TestMachine::Maintenance);
    QCOMPARE(m_client->readValue(childOf(machine->nodeId(), "mode")).toInt(), 5);

    // Instances of a subclass get the children of both classes.
    auto *special = machine->addChild<TestSpecialMachine>(QUaQualifiedName(1, "Special"));
    QVERIFY(special);
    QVERIFY(special->certificate());
    QVERIFY(special->serialNumber());
    QVERIFY(special->motor()->ratedPower());

    // A variable class instantiates as a variable.
    auto *gauge = machine->addChild<TestGauge>(QUaQualifiedName(1, "Temperature"));
    QVERIFY(gauge);
    QCOMPARE(gauge->nodeClass(), QStringLiteral("VARIABLE"));
    QVERIFY(gauge->unit());
}

void TestQUaCustomTypes::clientCallsMethodsWithArguments()
{
    auto *machine = m_server->objectsFolder()->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
    QVERIFY(machine);
    const QUaNodeId press = machine->nodeId();

    CallResult result = callMethod(*m_client, press, childOf(press, "scaled"), {2.5, 4});
    QCOMPARE(result.status, UA_STATUSCODE_GOOD);
    QCOMPARE(result.outputs, QVariantList{10.0});

    result = callMethod(*m_client, press, childOf(press, "describe"),
                        {int(TestMachine::Maintenance), QStringLiteral("now: ")});
    QCOMPARE(result.status, UA_STATUSCODE_GOOD);
    QCOMPARE(result.outputs, QVariantList{QStringLiteral("now: Maintenance")});

    result = callMethod(*m_client, press, childOf(press, "switchTo"), {int(TestMachine::Running)});
    QCOMPARE(result.status, UA_STATUSCODE_GOOD);
    QCOMPARE(result.outputs, QVariantList{int(TestMachine::Running)});
    QCOMPARE(machine->mode(), TestMachine::Running);

    result = callMethod(*m_client, press, childOf(press, "joined"),
                        {QStringList{QStringLiteral("a"), QStringLiteral("b")}});
    QCOMPARE(result.status, UA_STATUSCODE_GOOD);
    QCOMPARE(result.outputs, QVariantList{QStringLiteral("a+b")});

    // A subclass instance runs its base class's methods and its own.
    auto *special = machine->addChild<TestSpecialMachine>(QUaQualifiedName(1, "Special"));
    special->serialNumber()->setValue(QStringLiteral("SN-7"));
    result = callMethod(*m_client, special->nodeId(), childOf(special->nodeId(), "certify"), {});
    QCOMPARE(result.outputs, QVariantList{QStringLiteral("SN-7-ok")});
    result =
        callMethod(*m_client, special->nodeId(), childOf(special->nodeId(), "scaled"), {1.5, 2});
    QCOMPARE(result.outputs, QVariantList{3.0});
}

void TestQUaCustomTypes::invocationErrorsReachTheClientAsBadStatus()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    auto *machine = objects->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
    const QUaNodeId press = machine->nodeId();
    const QUaNodeId scaled = childOf(press, "scaled");

    // A method that throws.
    QCOMPARE(callMethod(*m_client, press, childOf(press, "jam"), {}).status,
             UA_STATUSCODE_BADINTERNALERROR);

    // Arguments of the wrong type or number.
    QVERIFY(
        UA_StatusCode_isBad(callMethod(*m_client, press, scaled, {QStringLiteral("x"), 4}).status));
    QVERIFY(UA_StatusCode_isBad(callMethod(*m_client, press, scaled, {2.5}).status));

    // An object of another class that a client made refer to the method.
    QUaBaseObject *other = objects->addBaseObject(QUaQualifiedName(1, "Other"));
    QCOMPARE(m_client->addReference(other->nodeId(), kHasComponent, scaled, UA_NODECLASS_METHOD),
             UA_STATUSCODE_GOOD);
    QCOMPARE(callMethod(*m_client, other->nodeId(), scaled, {2.5, 4}).status,
             UA_STATUSCODE_BADMETHODINVALID);

    // The server goes on serving.
    QCOMPARE(callMethod(*m_client, press, scaled, {2.5, 2}).outputs, QVariantList{5.0});
}

void TestQUaCustomTypes::clientAddsAnInstanceOfACustomType()
{
    m_server->registerType(TestMachine::staticMetaObject);
    const QUaNodeId machineType = typeNode(kBaseObjectType, "TestMachine");
    QUaFolderObject *folder =
        m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QSignalSpy childAdded(folder, &QUaNode::childAdded);

    QUaNodeId pressId;
    QCOMPARE(m_client->addObject(folder->nodeId(), QUaNodeId(1, QStringLiteral("ClientPress")),
                                 QUaQualifiedName(1, "ClientPress"), machineType, &pressId),
             UA_STATUSCODE_GOOD);
    QCOMPARE(childAdded.count(), 1);
    auto *machine = qobject_cast<TestMachine *>(childAdded.at(0).at(0).value<QUaNode *>());
    QVERIFY(machine);
    QCOMPARE(machine->nodeId(), pressId);
    QCOMPARE(folder->browseChild(QUaQualifiedName(1, "ClientPress")), machine);
    QVERIFY(machine->serialNumber());
    QVERIFY(machine->motor()->ratedPower());

    const CallResult result = callMethod(*m_client, pressId, childOf(pressId, "scaled"), {3.0, 3});
    QCOMPARE(result.outputs, QVariantList{9.0});
}

void TestQUaCustomTypes::signalerAnnouncesNewInstancesOfItsTypeOnly()
{
    QUaSignaler *signaler = m_server->newInstanceSignaler(TestMachine::staticMetaObject);
    QVERIFY(signaler);
    QCOMPARE(m_server->newInstanceSignaler(TestMachine::staticMetaObject), signaler);
    QVERIFY(!m_server->newInstanceSignaler(QObject::staticMetaObject));
    QSignalSpy newInstance(signaler, &QUaSignaler::signalNewInstance);

    QUaFolderObject *objects = m_server->objectsFolder();
    auto *machine = objects->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
    QCOMPARE(newInstance.count(), 1);
    QCOMPARE(newInstance.at(0).at(0).value<QUaNode *>(), machine);

    QUaNodeId clientPress;
    QCOMPARE(m_client->addObject(objects->nodeId(), QUaNodeId(1, QStringLiteral("ClientPress")),
                                 QUaQualifiedName(1, "ClientPress"),
                                 typeNode(kBaseObjectType, "TestMachine"), &clientPress),
             UA_STATUSCODE_GOOD);
    QCOMPARE(newInstance.count(), 2);
    QCOMPARE(newInstance.at(1).at(0).value<QUaNode *>(), m_server->nodeById(clientPress));

    // Instances of subtypes and of other types are not announced here.
    QVERIFY(objects->addChild<TestSpecialMachine>(QUaQualifiedName(1, "Special")));
    QVERIFY(objects->addBaseObject(QUaQualifiedName(1, "Plain")));
    QCOMPARE(newInstance.count(), 2);
}

void TestQUaCustomTypes::clientDeletingAnInstanceDeletesItsObjectLater()
{
    QUaFolderObject *objects = m_server->objectsFolder();
    QPointer<TestMachine> machine = objects->addChild<TestMachine>(QUaQualifiedName(1, "Press"));
    QPointer<QUaProperty> ratedPower = machine->motor()->ratedPower();
    QCOMPARE(m_client->deleteNode(machine->nodeId()), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(!machine);
    QVERIFY(!ratedPower);
    QVERIFY(!objects->hasChild(QUaQualifiedName(1, "Press")));
}

QTEST_GUILESS_MAIN(TestQUaCustomTypes)
#include "tst_quacustomtypes.moc"
