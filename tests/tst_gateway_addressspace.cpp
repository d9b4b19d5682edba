// The address space the gateway builds from its settings, as an OPC UA client
// sees it over loopback: identity and logins, folders, properties, file tags,
// the status enumeration, and the log of the build.
#include "support/gatewayfixture.h"

#include <QJsonArray>

namespace
{

const quint32 kFolderMainId = 61000;
const quint32 kFolderSubId = 61001;

struct FormatCase {
    const char *format;
    QJsonValue fileValue;
    quint32 dataType;
    QVariant clientValue;
};

// One file tag per Format name, every other one writable.
const QList<FormatCase> &formatCases()
{
    static const QList<FormatCase> cases = {
        {"Boolean", true, UA_NS0ID_BOOLEAN, true},
        {"SByte", -7, UA_NS0ID_SBYTE, -7},
        {"Byte", 200, UA_NS0ID_BYTE, 200},
        {"Int16", -300, UA_NS0ID_INT16, -300},
        {"UInt16", 60000, UA_NS0ID_UINT16, 60000},
        {"Int32", 7, UA_NS0ID_INT32, 7},
        {"UInt32", 4000000000.0, UA_NS0ID_UINT32, 4000000000u},
        {"Int64", 9000000000.0, UA_NS0ID_INT64, qint64(9000000000)},
        {"UInt64", 9000000000.0, UA_NS0ID_UINT64, quint64(9000000000)},
        {"Float", 2.5, UA_NS0ID_FLOAT, 2.5f},
        {"Double", 3, UA_NS0ID_DOUBLE, 3.0},
        // A JSON number is a double, and a String tag holds Qt's text of it.
        {"String", 3, UA_NS0ID_STRING, QStringLiteral("3")},
        {"DateTime", "2026-01-15T08:00:00Z", UA_NS0ID_DATETIME,
         QDateTime(QDate(2026, 1, 15), QTime(8, 0), Qt::UTC)},
    };
    return cases;
}

QJsonObject folders(quint32 mainId = kFolderMainId)
{
    return {{"FolderMain", QJsonObject{{"FolderName", "Gateway"}, {"NodeId", int(mainId)}}},
            {"FolderSub", QJsonObject{{"FolderName", "Tags"}, {"NodeId", int(kFolderSubId)}}}};
}

QJsonArray properties()
{
    return QJsonDocument::fromJson(R"([
        {"PropName": "Site", "Value": "Plant 1", "NodeId": 61010},
        {"PropName": "Line", "Value": 3, "NodeId": 61011},
        {"PropName": "Simulation", "Value": false, "NodeId": 61012},
        {"PropName": "NoId", "Value": 1},
        {"PropName": "Site", "Value": "again", "NodeId": 61013},
        {"PropName": "Reused", "Value": 1, "NodeId": 61010}])")
        .array();
}

// Entries the build refuses: no WriteAccess, a Format in the wrong case, a
// name FolderSub has already, a node id in use.
QJsonArray malformedTags()
{
    return QJsonDocument::fromJson(R"([
        {"TagName": "NoWrite", "NodeId": "NoWrite", "Format": "Int32", "Value": 1, "Description": ""},
        {"TagName": "Lower", "NodeId": "Lower", "Format": "int32", "Value": 1, "WriteAccess": true},
        {"TagName": "Int32Tag", "NodeId": "tag.Int32.again", "Format": "Int32", "Value": 2,
         "WriteAccess": true},
        {"TagName": "Stolen", "NodeId": "tag.Double", "Format": "Double", "Value": 2,
         "WriteAccess": true}])")
        .array();
}

QJsonArray formatTags()
{
    QJsonArray tags;
    for (int i = 0; i < formatCases().count(); ++i) {
        const FormatCase &c = formatCases().at(i);
        tags.append(QJsonObject{{"TagName", QLatin1String(c.format) + "Tag"},
                                {"NodeId", QLatin1String("tag.") + c.format},
                                {"Format", c.format},
                                {"Value", c.fileValue},
                                {"WriteAccess", i % 2 == 0},
                                {"Description", QLatin1String("the ") + c.format + " tag"}});
    }
    return tags;
}

QByteArray tagsFile(bool preloadTags, quint32 mainId = kFolderMainId)
{
    QJsonObject file = folders(mainId);
    file["Properties"] = properties();
    file["PreloadTags"] = preloadTags;
    QJsonArray tags = formatTags();
    for (const QJsonValue &tag : malformedTags())
        tags.append(tag);
    file["Tags"] = tags;
    return jsonText(file);
}

const QString kEndpointLine = "[info] OPC UA endpoints offered: None";

// The start of the address-space build: the endpoints, then the properties.
const QStringList kStartLog = {
    kEndpointLine,
    "[info] Added: PROPERTY= Site",
    "[info] Added: PROPERTY= Line",
    "[info] Added: PROPERTY= Simulation",
    "[critical] ERROR Added: PROPERTY= NoId",
    "[critical] ERROR Not created: PROPERTY= Site, NodeId= ns=0;i=61013",
    "[critical] ERROR Not created: PROPERTY= Reused, NodeId= ns=0;i=61010",
};

// A console line of the core: the message type, then the quoted line.
QRegularExpression consoleLine(const QString &type, const QString &message, const char *function)
{
    const QString stamp = QStringLiteral(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
    QString tail;
    if (function)
        tail = QStringLiteral(R"( \(internal_functions\.cpp, \d+, %1\))")
                   .arg(QRegularExpression::escape(QLatin1String(function)));
    return QRegularExpression(QStringLiteral("^%1 \"%2 > %3%4\"$")
                                  .arg(type, stamp, QRegularExpression::escape(message), tail));
}

bool anyMatches(const QStringList &lines, const QRegularExpression &pattern)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&pattern](const QString &line) { return pattern.match(line).hasMatch(); });
}

// Every forward reference from the node down through the hierarchy, one
// "source reference-type target" line each.
QStringList referencesBelow(TestClient &client, const QUaNodeId &nodeId)
{
    static const QSet<QUaNodeId> hierarchy{QUaNodeId(0, UA_NS0ID_ORGANIZES),
                                           QUaNodeId(0, UA_NS0ID_HASCOMPONENT),
                                           QUaNodeId(0, UA_NS0ID_HASPROPERTY)};
    QStringList lines;
    for (const TestClient::Reference &reference : client.browse(nodeId)) {
        lines << nodeId.toString() + ' ' + reference.referenceTypeId.toString() + ' ' +
                     reference.targetId.toString();
        if (hierarchy.contains(reference.referenceTypeId))
            lines << referencesBelow(client, reference.targetId);
    }
    return lines;
}

enum class ClientEdit { DeleteNode, AddNode, AddReference, DeleteReference };

UA_StatusCode applyEdit(TestClient &client, ClientEdit edit, const QUaNodeId &nodeId)
{
    const QUaNodeId hasComponent(0, UA_NS0ID_HASCOMPONENT);
    const QUaNodeId tag(0, "tag.Int32");
    switch (edit) {
    case ClientEdit::DeleteNode:
        return client.deleteNode(nodeId);
    case ClientEdit::AddNode:
        return client.addVariable(nodeId, QUaQualifiedName(1, "Intruder"));
    case ClientEdit::AddReference:
        return client.addReference(nodeId, hasComponent, tag, UA_NODECLASS_VARIABLE);
    case ClientEdit::DeleteReference:
        return client.deleteReference(nodeId, hasComponent, tag);
    }
    return UA_STATUSCODE_BADINTERNALERROR;
}

} // namespace

Q_DECLARE_METATYPE(ClientEdit)

class TestGatewayAddressSpace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ConsoleCapture::install();
        m_gateway = std::make_unique<Gateway>(tagsFile(true));
        QVERIFY(m_gateway->configLoaded);
        QCOMPARE(m_client.connect(m_gateway->port), UA_STATUSCODE_GOOD);
    }
    void cleanupTestCase()
    {
        m_client.disconnect();
        m_gateway.reset();
    }

    void identityAndLoginsComeFromTheSettings_data();
    void identityAndLoginsComeFromTheSettings();
    void foldersHangUnderObjects();
    void propertiesAreReadOnlyConstants();
    void tagsTakeTheTypeOfTheirFormat_data();
    void tagsTakeTheTypeOfTheirFormat();
    void refusedEntriesAreLoggedAndLeftOut();
    void tagsAreNotReadWithoutPreload();
    void refusedMainFolderLeavesAServerWithoutTags();
    void serverEventsGoToDebugOutput();
    void statusEnumerationIsADataType();
    void clientsCannotChangeTheAddressSpace_data();
    void clientsCannotChangeTheAddressSpace();
    void faultySettingsAreRefusedAtStartUp_data();
    void faultySettingsAreRefusedAtStartUp();

private:
    std::unique_ptr<Gateway> m_gateway;
    TestClient m_client;
};

void TestGatewayAddressSpace::identityAndLoginsComeFromTheSettings_data()
{
    QTest::addColumn<bool>("anonymousLoginAllowed");
    QTest::newRow("anonymous allowed") << true;
    QTest::newRow("users only") << false;
}

void TestGatewayAddressSpace::identityAndLoginsComeFromTheSettings()
{
    QFETCH(bool, anonymousLoginAllowed);
    Gateway gateway(jsonText(folders()), anonymousLoginAllowed);

    TestClient anonymous;
    QCOMPARE(anonymous.connect(gateway.port) == UA_STATUSCODE_GOOD, anonymousLoginAllowed);
    TestClient wrongPassword;
    QCOMPARE(wrongPassword.connectUser(gateway.port, "operator", "guess"),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    TestClient user;
    QCOMPARE(user.connectUser(gateway.port, "operator", "s3cret"), UA_STATUSCODE_GOOD);

    QCOMPARE(user.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME),
             QStringLiteral("VH-TAGBRIDGE"));
    QCOMPARE(user.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_MANUFACTURERNAME),
             QStringLiteral("Varnholt LLC"));
    QCOMPARE(user.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_SOFTWAREVERSION),
             QStringLiteral("1.0"));
    QCOMPARE(user.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_BUILDNUMBER),
             QStringLiteral("123457890"));
    QVERIFY(user.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTURI)
                .startsWith(QStringLiteral("https://")));

    const QList<UA_EndpointDescription> endpoints = user.endpoints(gateway.port);
    QCOMPARE(endpoints.count(), 1);
    UA_EndpointDescription endpoint = endpoints.first();
    const QString applicationName =
        QUaValueConverter::toQString(endpoint.server.applicationName.text);
    const QString applicationUri = QUaValueConverter::toQString(endpoint.server.applicationUri);
    UA_EndpointDescription_clear(&endpoint);
    QCOMPARE(applicationName, QStringLiteral("OPC-UA <-> SQL Gateway"));
    QCOMPARE(applicationUri, QStringLiteral("uri:varnholt:tagbridge"));
}

void TestGatewayAddressSpace::foldersHangUnderObjects()
{
    const QUaNodeId mainId(0, kFolderMainId);
    const QUaNodeId subId(0, kFolderSubId);
    QCOMPARE(childNames(m_client, QUaNodeId(0, UA_NS0ID_OBJECTSFOLDER), UA_NS0ID_ORGANIZES)
                 .count(QStringLiteral("Gateway")),
             1);
    QCOMPARE(m_client.readAttribute(mainId, UA_ATTRIBUTEID_NODECLASS).toInt(),
             int(UA_NODECLASS_OBJECT));
    QCOMPARE(childNames(m_client, mainId, UA_NS0ID_HASTYPEDEFINITION), QStringList{"FolderType"});
    // A folder organizes all its children, the tags' object included.
    QVERIFY(childNames(m_client, mainId, UA_NS0ID_ORGANIZES).contains("Tags"));
    QCOMPARE(m_client.readAttribute(subId, UA_ATTRIBUTEID_NODECLASS).toInt(),
             int(UA_NODECLASS_OBJECT));
    QCOMPARE(childNames(m_client, subId, UA_NS0ID_HASTYPEDEFINITION),
             QStringList{"BaseObjectType"});
}

void TestGatewayAddressSpace::propertiesAreReadOnlyConstants()
{
    const QUaNodeId mainId(0, kFolderMainId);
    QCOMPARE(childNames(m_client, mainId, UA_NS0ID_ORGANIZES),
             (QStringList{"Tags", "Site", "Line", "Simulation"}));
    const struct {
        quint32 id;
        QVariant value;
        quint32 dataType;
    } expected[] = {{61010, QStringLiteral("Plant 1"), UA_NS0ID_STRING},
                    {61011, 3.0, UA_NS0ID_DOUBLE},
                    {61012, false, UA_NS0ID_BOOLEAN}};
    for (const auto &property : expected) {
        const QUaNodeId id(0, property.id);
        QCOMPARE(m_client.readValue(id), property.value);
        QCOMPARE(dataTypeOf(m_client, id), QUaNodeId(0, property.dataType));
        QCOMPARE(m_client.readAttribute(id, UA_ATTRIBUTEID_VALUERANK).toInt(), -1);
        QCOMPARE(m_client.readAttribute(id, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
                     UA_ACCESSLEVELMASK_WRITE,
                 0u);
        QVERIFY(m_client.writeValue(id, property.value) != UA_STATUSCODE_GOOD);
    }
    QCOMPARE(m_gateway->log().mid(0, kStartLog.count()), kStartLog);
}

void TestGatewayAddressSpace::tagsTakeTheTypeOfTheirFormat_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<quint32>("dataType");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("writable");
    for (int i = 0; i < formatCases().count(); ++i) {
        const FormatCase &c = formatCases().at(i);
        QTest::newRow(c.format) << QString(c.format) << c.dataType << c.clientValue << (i % 2 == 0);
    }
}

void TestGatewayAddressSpace::tagsTakeTheTypeOfTheirFormat()
{
    QFETCH(QString, format);
    QFETCH(quint32, dataType);
    QFETCH(QVariant, value);
    QFETCH(bool, writable);
    const QUaNodeId id(0, QStringLiteral("tag.") + format);
    QVERIFY(childNames(m_client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT)
                .contains(format + "Tag"));
    QCOMPARE(dataTypeOf(m_client, id), QUaNodeId(0, dataType));
    QCOMPARE(m_client.readValue(id), value);
    QCOMPARE(m_client.readAttribute(id, UA_ATTRIBUTEID_VALUERANK).toInt(), -1);
    const quint32 accessLevel = m_client.readAttribute(id, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt();
    QVERIFY(accessLevel & UA_ACCESSLEVELMASK_READ);
    QCOMPARE(bool(accessLevel & UA_ACCESSLEVELMASK_WRITE), writable);
    QCOMPARE(
        m_client.readAttribute(id, UA_ATTRIBUTEID_DESCRIPTION).value<QUaLocalizedText>().text(),
        "the " + format + " tag");
}

void TestGatewayAddressSpace::refusedEntriesAreLoggedAndLeftOut()
{
    QStringList fileTags;
    for (const FormatCase &c : formatCases())
        fileTags << QLatin1String(c.format) + "Tag";
    QCOMPARE(childNames(m_client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT), fileTags);
    QCOMPARE(m_gateway->tagNames(), fileTags);
    QCOMPARE(m_client.readValue(QUaNodeId(0, "tag.Int32")), QVariant(7));
    QCOMPARE(m_client.readValue(QUaNodeId(0, "tag.Double")), QVariant(3.0));

    QStringList expected = kStartLog;
    for (const QString &name : fileTags)
        expected << "[info] Added FILE TAG: " + name;
    expected << "[critical] ERROR Added: TagName= NoWrite"
             << "[critical] ERROR Conversion Type for TAG: Lower"
             << "[critical] ERROR Not created: TagName= Int32Tag, NodeId= ns=0;s=tag.Int32.again"
             << "[critical] ERROR Not created: TagName= Stolen, NodeId= ns=0;s=tag.Double";
    QCOMPARE(m_gateway->log(), expected);

    // The console has the same lines; warnings and criticals name their origin.
    const QStringList &console = m_gateway->startupConsole;
    const char *initOpc = "void cInternalFunctions::InitOPC()";
    QVERIFY(anyMatches(console, consoleLine("info", "Added FILE TAG: BooleanTag", nullptr)));
    QVERIFY(anyMatches(console, consoleLine("critical", "ERROR Added: TagName= NoWrite", initOpc)));
    QVERIFY(anyMatches(console,
                       consoleLine("critical", "ERROR Conversion Type for TAG: Lower", initOpc)));
    // Every tag reached the gateway's change slot.
    QVERIFY(console.filter("QObject::connect").isEmpty());
}

void TestGatewayAddressSpace::tagsAreNotReadWithoutPreload()
{
    Gateway gateway(tagsFile(false));
    TestClient client;
    QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
    QCOMPARE(gateway.log(), kStartLog);
    QVERIFY(gateway.core->m_tags.isEmpty());
    QVERIFY(childNames(client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT).isEmpty());
    QCOMPARE(childNames(client, QUaNodeId(0, kFolderMainId), UA_NS0ID_ORGANIZES).count(), 4);
}

// Objects (ns=0;i=85) cannot hold itself: the build goes on without the folder
// and everything in it, and the server still serves.
void TestGatewayAddressSpace::refusedMainFolderLeavesAServerWithoutTags()
{
    Gateway gateway(tagsFile(true, UA_NS0ID_OBJECTSFOLDER));
    QCOMPARE(gateway.log(),
             (QStringList{kEndpointLine,
                          "[critical] ERROR Not created: FOLDER= Gateway, NodeId= ns=0;i=85"}));
    QVERIFY(!gateway.core->m_folderMain);
    QVERIFY(!gateway.core->m_folderSub);
    TestClient client;
    QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
    QVERIFY(!childNames(client, QUaNodeId(0, UA_NS0ID_OBJECTSFOLDER), UA_NS0ID_ORGANIZES)
                 .contains("Gateway"));

    QVERIFY(!gateway.core->createNewTag({{"TagName", "Late"},
                                         {"NodeId", "Late"},
                                         {"Format", "Int32"},
                                         {"Value", "1"},
                                         {"WriteAccess", true},
                                         {"Description", ""}}));
    QCOMPARE(gateway.log().last(),
             QStringLiteral("[critical] ERROR Not created: TagName= Late, NodeId= ns=0;s=Late"));
}

void TestGatewayAddressSpace::serverEventsGoToDebugOutput()
{
    const QRegularExpression record(
        R"(^debug \[ "\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3}" \]\[ QUa::LogLevel::\w+ \]\[ QUa::LogCategory::\w+ \] : ".*"$)");
    QVERIFY(anyMatches(m_gateway->startupConsole, record));
    QVERIFY(m_gateway->startupConsole.filter("QUa::LogLevel::Trace").isEmpty());
    QVERIFY(m_gateway->startupConsole.filter("QUa::LogLevel::Debug").isEmpty());

    ConsoleCapture::take();
    TestClient client;
    QCOMPARE(client.connect(m_gateway->port), UA_STATUSCODE_GOOD);
    const QRegularExpression connected(R"(^debug Connected "127\.0\.0\.1" : \d+ \| ".*"$)");
    QStringList console = ConsoleCapture::take();
    QVERIFY2(anyMatches(console, connected), qPrintable(console.filter("onnected").join('\n')));

    client.disconnect();
    const QRegularExpression disconnected(R"(^debug Disconnected "127\.0\.0\.1" : \d+ \| ".*"$)");
    QTRY_VERIFY((console << ConsoleCapture::take(), anyMatches(console, disconnected)));
}

void TestGatewayAddressSpace::statusEnumerationIsADataType()
{
    const QUaNodeId statusId(1, QStringLiteral("QUa::Status"));
    QCOMPARE(m_client.readAttribute(statusId, UA_ATTRIBUTEID_NODECLASS).toInt(),
             int(UA_NODECLASS_DATATYPE));
    QUaNodeId enumValuesId;
    for (const TestClient::Reference &reference : m_client.browse(statusId))
        if (reference.browseName.name() == QLatin1String("EnumValues"))
            enumValuesId = reference.targetId;
    const QStringList names = m_client.call([enumValuesId](UA_Client *client) {
        UA_NodeId id = enumValuesId;
        UA_Variant value;
        UA_Variant_init(&value);
        QStringList texts;
        if (UA_Client_readValueAttribute(client, id, &value) == UA_STATUSCODE_GOOD &&
            value.type == &UA_TYPES[UA_TYPES_ENUMVALUETYPE]) {
            const auto *values = static_cast<const UA_EnumValueType *>(value.data);
            for (size_t i = 0; i < value.arrayLength; ++i)
                texts << QUaValueConverter::toQString(values[i].displayName.text);
        }
        UA_Variant_clear(&value);
        UA_NodeId_clear(&id);
        return texts;
    });
    const QMetaEnum status = QMetaEnum::fromType<QUa::Status>();
    QStringList keys;
    for (int i = 0; i < status.keyCount(); ++i)
        keys << QLatin1String(status.key(i));
    QCOMPARE(QSet<QString>(names.begin(), names.end()), QSet<QString>(keys.begin(), keys.end()));
    QCOMPARE(names.count(), keys.count());
}

void TestGatewayAddressSpace::clientsCannotChangeTheAddressSpace_data()
{
    QTest::addColumn<QString>("userName"); // empty: anonymous
    QTest::addColumn<ClientEdit>("edit");
    QTest::addColumn<QUaNodeId>("nodeId");
    const QUaNodeId mainId(0, kFolderMainId);
    const QUaNodeId tagsId(0, kFolderSubId);
    for (const QString &userName : {QString(), QStringLiteral("operator")}) {
        const char *who = userName.isEmpty() ? "anonymous" : "user";
        QTest::addRow("%s deletes the top folder", who)
            << userName << ClientEdit::DeleteNode << mainId;
        QTest::addRow("%s deletes a tag", who)
            << userName << ClientEdit::DeleteNode << QUaNodeId(0, "tag.Double");
        QTest::addRow("%s deletes a property", who)
            << userName << ClientEdit::DeleteNode << QUaNodeId(0, 61010);
        QTest::addRow("%s adds a node under the tags", who)
            << userName << ClientEdit::AddNode << tagsId;
        QTest::addRow("%s adds a reference", who) << userName << ClientEdit::AddReference << mainId;
        QTest::addRow("%s deletes a reference", who)
            << userName << ClientEdit::DeleteReference << tagsId;
    }
}

void TestGatewayAddressSpace::clientsCannotChangeTheAddressSpace()
{
    QFETCH(QString, userName);
    QFETCH(ClientEdit, edit);
    QFETCH(QUaNodeId, nodeId);
    TestClient client;
    QCOMPARE(userName.isEmpty() ? client.connect(m_gateway->port)
                                : client.connectUser(m_gateway->port, userName, "s3cret"),
             UA_STATUSCODE_GOOD);
    const QUaNodeId mainId(0, kFolderMainId);
    const QStringList before = referencesBelow(client, mainId);
    QVERIFY(before.count() > 30);

    QCOMPARE(applyEdit(client, edit, nodeId), UA_STATUSCODE_BADUSERACCESSDENIED);
    QCOMPARE(referencesBelow(client, mainId), before);
}

void TestGatewayAddressSpace::faultySettingsAreRefusedAtStartUp_data()
{
    QTest::addColumn<QJsonObject>("settings");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QString>("criticalLine"); // %1: the port taken
    QTest::addColumn<bool>("serving");
    QTest::addColumn<bool>("userAdded");
    const QString noPort =
        QStringLiteral(R"(OPC UA NOT started: "opcua_port" %1 is not a port number (1-65535))");
    QTest::newRow("port above 65535")
        << QJsonObject{{"opcua_port", 70000}} << false << noPort.arg("70000") << false << true;
    QTest::newRow("port as text") << QJsonObject{{"opcua_port", "abc"}} << false
                                  << noPort.arg(R"("abc")") << false << true;
    QTest::newRow("port 0") << QJsonObject{{"opcua_port", 0}} << false << noPort.arg("0") << false
                            << true;
    QTest::newRow("port taken")
        << QJsonObject() << true
        << "OPC UA NOT started: port %1 cannot be bound: another program listens on the port"
        << false << true;
    const QString noPassword =
        QStringLiteral(R"(OPC UA user "operator" NOT added: no password in settings.json)");
    QTest::newRow("empty password")
        << QJsonObject{{"opcua_User_password", ""}} << false << noPassword << true << false;
    QTest::newRow("no password") << QJsonObject{{"opcua_User_password", QJsonValue::Null}} << false
                                 << noPassword << true << false;
}

void TestGatewayAddressSpace::faultySettingsAreRefusedAtStartUp()
{
    QFETCH(QJsonObject, settings);
    QFETCH(bool, portTaken);
    QFETCH(QString, criticalLine);
    QFETCH(bool, serving);
    QFETCH(bool, userAdded);
    QUaServer other;
    if (portTaken) {
        other.setPort(freeLoopbackPort());
        QVERIFY(other.start());
        settings["opcua_port"] = other.port();
    }
    Gateway gateway(jsonText(folders()), true, settings);
    QCOMPARE(gateway.log().filter("[critical]"),
             QStringList{"[critical] " + criticalLine.arg(other.port())});
    QCOMPARE(gateway.core->opcServing(), serving);
    QCOMPARE(gateway.core->m_opcServer->userExists("operator"), userAdded);
    if (serving) {
        TestClient user;
        QCOMPARE(user.connectUser(gateway.port, "operator", ""), UA_STATUSCODE_BADUSERACCESSDENIED);
    }
}

QTEST_MAIN(TestGatewayAddressSpace)
#include "tst_gateway_addressspace.moc"
