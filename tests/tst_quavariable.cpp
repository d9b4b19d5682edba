// Variables: which writes are the network's and which the program's, the type
// rules of setValue and setDataType, status and timestamps, access levels and
// enumeration data types, all checked against a real client.

#include <QSignalSpy>
#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "tst_quaserver_client.h"

class TestQUaVariable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newVariableStartsReadOnlyAndUntyped();
    void clientWriteIsNetworkChange();
    void programWriteIsLocalChange();
    void refusedProgramWriteLeavesNextClientWriteNetwork();
    void setValueKeepsTypeWhenValueConverts();
    void setValueTakesTypeOfValueOtherwise();
    void setDataTypeConvertsTheValue();
    void statusAndTimestampsRewriteTheStoredValue();
    void accessBitsGateClientWrites();
    void enumerationDataTypes();

private:
    QUaBaseDataVariable *addVariable(const QString &name);
    QUaNodeId dataTypeSeenByClient(const QUaBaseVariable *variable);

    QUaServer *m_server = nullptr;
    TestClient *m_client = nullptr;
    QUaFolderObject *m_folder = nullptr;
};

void TestQUaVariable::init()
{
    m_server = new QUaServer;
    m_server->setPort(freeLoopbackPort());
    m_folder = m_server->objectsFolder()->addFolderObject(QUaQualifiedName(1, "Tags"));
    QVERIFY(m_server->start());
    m_client = new TestClient;
    QCOMPARE(m_client->connect(m_server->port()), UA_STATUSCODE_GOOD);
}

void TestQUaVariable::cleanup()
{
    delete m_client;
    delete m_server;
}

QUaBaseDataVariable *TestQUaVariable::addVariable(const QString &name)
{
    return m_folder->addBaseDataVariable(QUaQualifiedName(1, name));
}

QUaNodeId TestQUaVariable::dataTypeSeenByClient(const QUaBaseVariable *variable)
{
    return m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_DATATYPE).value<QUaNodeId>();
}

void TestQUaVariable::newVariableStartsReadOnlyAndUntyped()
{
    QUaBaseDataVariable *variable = addVariable("Fresh");
    QUaProperty *property = m_folder->addProperty(QUaQualifiedName(1, "Constant"));
    QCOMPARE(variable->accessLevel(), quint8(UA_ACCESSLEVELMASK_READ));
    QCOMPARE(m_client->readAttribute(property->nodeId(), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt(),
             uint(UA_ACCESSLEVELMASK_READ));
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::QVariant));
    QCOMPARE(dataTypeSeenByClient(variable), QUaNodeId(0, UA_NS0ID_BASEDATATYPE));
    QCOMPARE(variable->valueRank(), qint32(UA_VALUERANK_ANY));
    QVERIFY(variable->arrayDimensions().isEmpty());
    QCOMPARE(variable->minimumSamplingInterval(), 0.0);
    QVERIFY(!variable->historizing());
    QVERIFY(!variable->value().isValid());
    QVERIFY(variable->readAccess());
    QVERIFY(!variable->writeAccess());
}

void TestQUaVariable::clientWriteIsNetworkChange()
{
    QUaBaseDataVariable *variable = addVariable("Setpoint");
    variable->setDataType(QMetaType::Int);
    variable->setWriteAccess(true);
    // The gateway connects by signature text.
    QSignalSpy valueChanged(variable, SIGNAL(valueChanged(const QVariant &, const bool &)));
    QVERIFY(valueChanged.isValid());

    QCOMPARE(m_client->writeValue(variable->nodeId(), 5), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 1);
    QCOMPARE(valueChanged.at(0).at(0), QVariant(5));
    QCOMPARE(valueChanged.at(0).at(1).toBool(), true);
    QCOMPARE(variable->value(), QVariant(5));
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::Int));

    // The stack checks a client's value against the data type.
    QVERIFY(m_client->writeValue(variable->nodeId(), QStringLiteral("text")) != UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 1);
}

void TestQUaVariable::programWriteIsLocalChange()
{
    QUaBaseDataVariable *variable = addVariable("Level");
    variable->setDataType(QMetaType::Int);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    QSignalSpy statusChanged(variable, &QUaBaseVariable::statusCodeChanged);
    QSignalSpy sourceTimeChanged(variable, &QUaBaseVariable::sourceTimestampChanged);
    QSignalSpy serverTimeChanged(variable, &QUaBaseVariable::serverTimestampChanged);

    variable->setValue(7);
    QCOMPARE(valueChanged.count(), 1);
    QCOMPARE(valueChanged.at(0).at(0), QVariant(7));
    QCOMPARE(valueChanged.at(0).at(1).toBool(), false);
    QCOMPARE(statusChanged.count(), 1);
    QCOMPARE(statusChanged.at(0).at(0).value<QUaStatusCode>(), QUa::Status::Good);
    QCOMPARE(statusChanged.at(0).at(1).toBool(), false);
    QCOMPARE(sourceTimeChanged.count(), 0);

    const QDateTime sourceTime =
        QDateTime::fromString("2024-03-01T10:00:00.000Z", Qt::ISODateWithMs);
    variable->setValue(8, QUa::Status::Good, sourceTime);
    QCOMPARE(sourceTimeChanged.count(), 1);
    QCOMPARE(sourceTimeChanged.at(0).at(0).toDateTime(), sourceTime);
    QCOMPARE(m_client->readValue(variable->nodeId()), QVariant(8));
    Q_UNUSED(serverTimeChanged)
}

void TestQUaVariable::refusedProgramWriteLeavesNextClientWriteNetwork()
{
    QUaBaseDataVariable *variable = addVariable("Counter");
    variable->setValue(1);
    variable->setValueRank(UA_VALUERANK_SCALAR);
    variable->setWriteAccess(true);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);

    // A list keeps the Int32 type, but the stack refuses an array on a scalar node.
    variable->setValue(QVariantList{1, 2});
    QCOMPARE(valueChanged.count(), 0);
    QCOMPARE(variable->value(), QVariant(1));

    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 1);
    QCOMPARE(valueChanged.at(0).at(1).toBool(), true);
}

void TestQUaVariable::setValueKeepsTypeWhenValueConverts()
{
    QUaBaseDataVariable *variable = addVariable("Count");
    variable->setDataType(QMetaType::Int);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    variable->setValue(QStringLiteral("12"));
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::Int));
    QCOMPARE(dataTypeSeenByClient(variable), QUaNodeId(0, UA_NS0ID_INT32));
    QCOMPARE(valueChanged.at(0).at(0), QVariant(12));

    variable->setValue(QVariantList{QStringLiteral("3"), 4.0});
    QCOMPARE(variable->value().value<QList<int>>(), QList<int>({3, 4}));
    QCOMPARE(dataTypeSeenByClient(variable), QUaNodeId(0, UA_NS0ID_INT32));
}

void TestQUaVariable::setValueTakesTypeOfValueOtherwise()
{
    QUaBaseDataVariable *fresh = addVariable("Fresh");
    fresh->setValue(5);
    QCOMPARE(fresh->dataType(), QUaDataType(QMetaType::Int));
    QCOMPARE(dataTypeSeenByClient(fresh), QUaNodeId(0, UA_NS0ID_INT32));

    QUaBaseDataVariable *stamp = addVariable("Stamp");
    stamp->setDataType(QMetaType::Int);
    const QDateTime time = QDateTime::fromString("2024-03-01T10:00:00.000Z", Qt::ISODateWithMs);
    stamp->setValue(time);
    QCOMPARE(stamp->dataType(), QUaDataType(QMetaType::QDateTime));
    QCOMPARE(dataTypeSeenByClient(stamp), QUaNodeId(0, UA_NS0ID_DATETIME));
    QCOMPARE(stamp->value().toDateTime(), time);

    QUaBaseDataVariable *wide = addVariable("Wide");
    wide->setValue(5, QUa::Status::Good, QDateTime(), QDateTime(), QMetaType::LongLong);
    QCOMPARE(dataTypeSeenByClient(wide), QUaNodeId(0, UA_NS0ID_INT64));
    QCOMPARE(wide->dataType(), QUaDataType(QMetaType::Long));

    QUaBaseDataVariable *list = addVariable("List");
    list->setValue(QVariantList{1.5, 2.5});
    QCOMPARE(dataTypeSeenByClient(list), QUaNodeId(0, UA_NS0ID_DOUBLE));
    QCOMPARE(list->value().value<QList<double>>(), QList<double>({1.5, 2.5}));
    // An empty list keeps the type.
    list->setValue(QVariantList());
    QCOMPARE(list->dataType(), QUaDataType(QMetaType::Double));
}

void TestQUaVariable::setDataTypeConvertsTheValue()
{
    QUaBaseDataVariable *variable = addVariable("Ratio");
    variable->setValue(QStringLiteral("2.5"));
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::QString));
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);

    variable->setDataType(QMetaType::Double);
    QCOMPARE(dataTypeSeenByClient(variable), QUaNodeId(0, UA_NS0ID_DOUBLE));
    QCOMPARE(variable->value(), QVariant(2.5));
    QCOMPARE(valueChanged.count(), 1);
    QCOMPARE(valueChanged.at(0).at(1).toBool(), false);

    variable->setDataType(QMetaType::Double);
    QCOMPARE(valueChanged.count(), 1); // nothing written for the same type
    variable->setProperty("dataType", QVariant::fromValue(QUaDataType(QMetaType::QDateTime)));
    QCOMPARE(dataTypeSeenByClient(variable), QUaNodeId(0, UA_NS0ID_DATETIME));
}

void TestQUaVariable::statusAndTimestampsRewriteTheStoredValue()
{
    QUaBaseDataVariable *variable = addVariable("Pressure");
    const QDateTime sourceTime =
        QDateTime::fromString("2024-03-01T10:00:00.000Z", Qt::ISODateWithMs);
    variable->setValue(3.5, QUa::Status::Good, sourceTime);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    QSignalSpy statusChanged(variable, &QUaBaseVariable::statusCodeChanged);
    QSignalSpy sourceTimeChanged(variable, &QUaBaseVariable::sourceTimestampChanged);

    variable->setStatusCode(QUa::Status::BadDeviceFailure);
    QCOMPARE(variable->statusCode(), QUa::Status::BadDeviceFailure);
    QCOMPARE(variable->value(), QVariant(3.5));
    QCOMPARE(variable->sourceTimestamp(), sourceTime);
    QCOMPARE(valueChanged.count(), 1);
    QCOMPARE(valueChanged.at(0).at(1).toBool(), true);
    QCOMPARE(statusChanged.at(0).at(0).value<QUaStatusCode>(), QUa::Status::BadDeviceFailure);
    QCOMPARE(sourceTimeChanged.count(), 1);
    QCOMPARE(sourceTimeChanged.at(0).at(0).toDateTime(), sourceTime);
    UA_StatusCode readStatus = UA_STATUSCODE_GOOD;
    m_client->readValue(variable->nodeId(), &readStatus);
    QCOMPARE(readStatus, UA_StatusCode(QUa::Status::BadDeviceFailure));

    const QDateTime laterTime = sourceTime.addSecs(60);
    variable->setSourceTimestamp(laterTime);
    QCOMPARE(variable->sourceTimestamp(), laterTime);
    QCOMPARE(variable->statusCode(), QUa::Status::BadDeviceFailure);
    QCOMPARE(variable->value(), QVariant(3.5));
}

void TestQUaVariable::accessBitsGateClientWrites()
{
    QUaBaseDataVariable *variable = addVariable("Mode");
    variable->setValue(1);
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_BADNOTWRITABLE);
    QCOMPARE(valueChanged.count(), 0);

    variable->setWriteAccess(true);
    QCOMPARE(variable->accessLevel(), quint8(0x03));
    QCOMPARE(m_client->readAttribute(variable->nodeId(), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt(), 3u);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.count(), 1);

    variable->setReadAccess(false);
    QCOMPARE(variable->accessLevel(), quint8(0x02));
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    m_client->readValue(variable->nodeId(), &status);
    QCOMPARE(status, UA_STATUSCODE_BADNOTREADABLE);
}

void TestQUaVariable::enumerationDataTypes()
{
    const QMetaEnum status = QMetaEnum::fromType<QUa::Status>();
    m_server->registerEnum(status);
    m_server->registerEnum(status);
    const QUaNodeId enumTypeId(1, "QUa::Status");

    QList<TestClient::Reference> enumChildren;
    int typeNodes = 0;
    for (const TestClient::Reference &ref : m_client->browse(QUaNodeId(0, UA_NS0ID_ENUMERATION))) {
        typeNodes += ref.targetId == enumTypeId ? 1 : 0;
    }
    QCOMPARE(typeNodes, 1);
    QUaNodeId enumValuesId;
    for (const TestClient::Reference &ref : m_client->browse(enumTypeId)) {
        if (ref.browseName == QUaQualifiedName(0, "EnumValues")) {
            enumValuesId = ref.targetId;
        }
    }
    QVERIFY(!enumValuesId.isNull());
    const QVariantList entries = m_client->call([enumValuesId](UA_Client *client) {
        UA_Variant value;
        UA_Variant_init(&value);
        UA_NodeId id = enumValuesId;
        UA_Client_readValueAttribute(client, id, &value);
        QVariantList result;
        if (value.type == &UA_TYPES[UA_TYPES_ENUMVALUETYPE]) {
            const auto *values = static_cast<const UA_EnumValueType *>(value.data);
            for (size_t i = 0; i < value.arrayLength; ++i) {
                result.append(QVariant(
                    QVariantList{qint64(values[i].value),
                                 QUaValueConverter::toQString(values[i].displayName.text)}));
            }
        }
        UA_NodeId_clear(&id);
        UA_Variant_clear(&value);
        return result;
    });
    QCOMPARE(entries.count(), 17);
    QCOMPARE(entries.at(0).toList(),
             QVariantList({qint64(-2147483647 - 1), QStringLiteral("Bad")}));
    QCOMPARE(entries.at(7).toList(), QVariantList({qint64(0), QStringLiteral("Good")}));

    QUaBaseDataVariable *variable = addVariable("Quality");
    variable->setValue(QStringLiteral("x"));
    QSignalSpy valueChanged(variable, &QUaBaseVariable::valueChanged);
    QVERIFY(!variable->setDataTypeEnum(QStringLiteral("QUa::Unknown")));
    QCOMPARE(valueChanged.count(), 0);
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::QString));

    QVERIFY(variable->setDataTypeEnum(QStringLiteral("QUa::Status")));
    QCOMPARE(dataTypeSeenByClient(variable), enumTypeId);
    QCOMPARE(variable->dataType(), QUaDataType(QMetaType::Int));
    QCOMPARE(variable->value(), QVariant(0));
    QCOMPARE(valueChanged.at(0).at(1).toBool(), false);

    // Clients write enumeration values as integers.
    variable->setWriteAccess(true);
    QCOMPARE(m_client->writeValue(variable->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(valueChanged.last().at(0), QVariant(2));
    QCOMPARE(valueChanged.last().at(1).toBool(), true);
    QCOMPARE(m_client->readValue(variable->nodeId()), QVariant(2));

    // Registered on first use.
    QUaBaseDataVariable *level = addVariable("LogLevel");
    level->setDataTypeEnum(QMetaEnum::fromType<QUa::LogLevel>());
    QCOMPARE(dataTypeSeenByClient(level), QUaNodeId(1, "QUa::LogLevel"));
}

QTEST_GUILESS_MAIN(TestQUaVariable)
#include "tst_quavariable.moc"
