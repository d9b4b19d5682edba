// The gateway core's OPC UA side against a real stack client over loopback:
// the address space built from the settings, the start-up checks, and tags
// created, updated and deleted after the start.
#include "support/gatewayfixture.h"
#include "tagvalue.h"

#include <QJsonArray>
#include <functional>
#include <limits>

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
const QList<FormatCase> kFormats = {
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

QJsonObject folders(quint32 mainId = kFolderMainId)
{
    return {{"FolderMain", QJsonObject{{"FolderName", "Gateway"}, {"NodeId", int(mainId)}}},
            {"FolderSub", QJsonObject{{"FolderName", "Tags"}, {"NodeId", int(kFolderSubId)}}}};
}

QByteArray tagsFile(bool preloadTags, quint32 mainId = kFolderMainId)
{
    QJsonObject file = folders(mainId);
    file["PreloadTags"] = preloadTags;
    file["Properties"] = QJsonDocument::fromJson(R"([
        {"PropName": "Site", "Value": "Plant 1", "NodeId": 61010},
        {"PropName": "Line", "Value": 3, "NodeId": 61011},
        {"PropName": "Simulation", "Value": false, "NodeId": 61012},
        {"PropName": "NoId", "Value": 1},
        {"PropName": "Site", "Value": "again", "NodeId": 61013},
        {"PropName": "Reused", "Value": 1, "NodeId": 61010}])")
                             .array();
    QJsonArray tags;
    for (int i = 0; i < kFormats.count(); ++i) {
        const QLatin1String format(kFormats.at(i).format);
        tags.append(QJsonObject{{"TagName", format + "Tag"},
                                {"NodeId", "tag." + format},
                                {"Format", format},
                                {"Value", kFormats.at(i).fileValue},
                                {"WriteAccess", i % 2 == 0},
                                {"Description", "the " + format + " tag"}});
    }
    // Entries the build refuses: no WriteAccess, a Format in the wrong case, a
    // name FolderSub has already, a node id in use.
    for (const QJsonValue &tag : QJsonDocument::fromJson(R"([
        {"TagName": "NoWrite", "NodeId": "NoWrite", "Format": "Int32", "Value": 1},
        {"TagName": "Lower", "NodeId": "Lower", "Format": "int32", "Value": 1, "WriteAccess": true},
        {"TagName": "Int32Tag", "NodeId": "tag.Int32.again", "Format": "Int32", "Value": 2,
         "WriteAccess": true},
        {"TagName": "Stolen", "NodeId": "tag.Double", "Format": "Double", "Value": 2,
         "WriteAccess": true}])")
                                     .array())
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

QString description(TestClient &client, const QUaNodeId &id)
{
    return client.readAttribute(id, UA_ATTRIBUTEID_DESCRIPTION).value<QUaLocalizedText>().text();
}

bool writable(TestClient &client, const QUaNodeId &id)
{
    return client.readAttribute(id, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() & UA_ACCESSLEVELMASK_WRITE;
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

// A record as a row of the tags table gives it: every field text but the flag,
// the key as node id.
QJsonObject sqlRecord(const QString &name, const QString &value, const QString &format,
                      bool writeAccess = true, const QString &description = QString())
{
    return {{"TagName", name},
            {"NodeId", name},
            {"Value", value},
            {"Format", format},
            {"WriteAccess", writeAccess},
            {"Description", description}};
}

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

    std::unique_ptr<Gateway> m_gateway;
    TestClient m_client;

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

    void identityAndLoginsComeFromTheSettings()
    {
        // The shared gateway lets anonymous clients in; this one does not.
        Gateway gateway(jsonText(folders()), false);
        TestClient anonymous, wrongPassword, user;
        QVERIFY(anonymous.connect(gateway.port) != UA_STATUSCODE_GOOD);
        QCOMPARE(wrongPassword.connectUser(gateway.port, "operator", "guess"),
                 UA_STATUSCODE_BADUSERACCESSDENIED);
        QCOMPARE(user.connectUser(gateway.port, "operator", "s3cret"), UA_STATUSCODE_GOOD);
        const QPair<quint32, QString> identity[] = {
            {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME, "VH-TAGBRIDGE"},
            {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_MANUFACTURERNAME, "Varnholt LLC"},
            {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_SOFTWAREVERSION, "1.0"},
            {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_BUILDNUMBER, "123457890"},
            {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTURI, "https://varnholt.example"}};
        for (const auto &entry : identity)
            QCOMPARE(user.readValue(QUaNodeId(0, entry.first)).toString(), entry.second);
        const QList<UA_EndpointDescription> endpoints = user.endpoints(gateway.port);
        QCOMPARE(endpoints.count(), 1);
        UA_EndpointDescription endpoint = endpoints.first();
        const QStringList names{QUaValueConverter::toQString(endpoint.server.applicationName.text),
                                QUaValueConverter::toQString(endpoint.server.applicationUri)};
        UA_EndpointDescription_clear(&endpoint);
        QCOMPARE(names, (QStringList{"OPC-UA <-> SQL Gateway", "uri:varnholt:tagbridge"}));
        // The tags' status enumeration is a data type clients can look up.
        QCOMPARE(user.readAttribute(QUaNodeId(1, "QUa::Status"), UA_ATTRIBUTEID_NODECLASS).toInt(),
                 int(UA_NODECLASS_DATATYPE));
    }

    void foldersAndPropertiesHangUnderObjects()
    {
        const QUaNodeId mainId(0, kFolderMainId);
        QCOMPARE(childNames(m_client, QUaNodeId(0, UA_NS0ID_OBJECTSFOLDER), UA_NS0ID_ORGANIZES)
                     .count("Gateway"),
                 1);
        QCOMPARE(childNames(m_client, mainId, UA_NS0ID_HASTYPEDEFINITION),
                 QStringList{"FolderType"});
        QCOMPARE(childNames(m_client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASTYPEDEFINITION),
                 QStringList{"BaseObjectType"});
        // A folder organizes all its children, the tags' object included.
        QCOMPARE(childNames(m_client, mainId, UA_NS0ID_ORGANIZES),
                 (QStringList{"Tags", "Site", "Line", "Simulation"}));
        const QVariant values[] = {QStringLiteral("Plant 1"), 3.0, false};
        const quint32 dataTypes[] = {UA_NS0ID_STRING, UA_NS0ID_DOUBLE, UA_NS0ID_BOOLEAN};
        for (quint32 i = 0; i < 3; ++i) {
            const QUaNodeId id(0, 61010 + i);
            QCOMPARE(m_client.readValue(id), values[i]);
            QCOMPARE(dataTypeOf(m_client, id), QUaNodeId(0, dataTypes[i]));
            QVERIFY(!writable(m_client, id));
        }
    }

    void fileTagsTakeTheTypeOfTheirFormat()
    {
        QStringList fileTags;
        for (int i = 0; i < kFormats.count(); ++i) {
            const FormatCase &c = kFormats.at(i);
            const QUaNodeId id(0, QLatin1String("tag.") + c.format);
            fileTags << QLatin1String(c.format) + "Tag";
            QCOMPARE(dataTypeOf(m_client, id), QUaNodeId(0, c.dataType));
            QCOMPARE(m_client.readValue(id), c.clientValue);
            QCOMPARE(m_client.readAttribute(id, UA_ATTRIBUTEID_VALUERANK).toInt(), -1);
            QVERIFY(m_client.readAttribute(id, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
                    UA_ACCESSLEVELMASK_READ);
            QCOMPARE(writable(m_client, id), i % 2 == 0);
            QCOMPARE(description(m_client, id), QLatin1String("the ") + c.format + " tag");
        }
        // The refused entries are left out, and the first of a name or node id stays.
        QCOMPARE(childNames(m_client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT), fileTags);
        QCOMPARE(m_gateway->tagNames(), fileTags);
        QStringList expected = kStartLog;
        for (const QString &name : fileTags)
            expected << "[info] Added FILE TAG: " + name;
        expected
            << "[critical] ERROR Added: TagName= NoWrite"
            << "[critical] ERROR Conversion Type for TAG: Lower"
            << "[critical] ERROR Not created: TagName= Int32Tag, NodeId= ns=0;s=tag.Int32.again"
            << "[critical] ERROR Not created: TagName= Stolen, NodeId= ns=0;s=tag.Double";
        QCOMPARE(m_gateway->log(), expected);
    }

    void tagsAreNotReadWithoutPreload()
    {
        Gateway gateway(tagsFile(false));
        TestClient client;
        QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
        QCOMPARE(gateway.log(), kStartLog);
        QVERIFY(childNames(client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT).isEmpty());
    }

    // Objects (ns=0;i=85) cannot hold itself: the build goes on without the
    // folder and everything in it, and the server still serves.
    void refusedMainFolderLeavesAServerWithoutTags()
    {
        Gateway gateway(tagsFile(true, UA_NS0ID_OBJECTSFOLDER));
        QCOMPARE(gateway.log(),
                 (QStringList{kEndpointLine,
                              "[critical] ERROR Not created: FOLDER= Gateway, NodeId= ns=0;i=85"}));
        QVERIFY(gateway.core->opcServing());
        QVERIFY(!gateway.core->createNewTag(sqlRecord("Late", "1", "Int32")));
        QCOMPARE(
            gateway.log().last(),
            QStringLiteral("[critical] ERROR Not created: TagName= Late, NodeId= ns=0;s=Late"));
    }

    // The stack's records of information and above, and the sessions.
    void serverEventsGoToDebugOutput()
    {
        const QStringList &startup = m_gateway->startupConsole;
        QVERIFY(
            !startup
                 .filter(QRegularExpression(R"(^debug \[ "[\d. :]{23}" \]\[ QUa::LogLevel::Info)"))
                 .isEmpty());
        QVERIFY(startup.filter(QRegularExpression("LogLevel::(Trace|Debug)")).isEmpty());
        ConsoleCapture::take();
        TestClient client;
        QCOMPARE(client.connect(m_gateway->port), UA_STATUSCODE_GOOD);
        client.disconnect();
        QStringList console;
        for (const QString event : {"Connected", "Disconnected"})
            QTRY_VERIFY((
                console << ConsoleCapture::take(),
                !console
                     .filter(QRegularExpression("^debug " + event + R"( "127\.0\.0\.1" : \d+ \| )"))
                     .isEmpty()));
    }

    void clientsCannotChangeTheAddressSpace()
    {
        const QUaNodeId mainId(0, kFolderMainId), tagsId(0, kFolderSubId), tag(0, "tag.Int32");
        const QUaNodeId hasComponent(0, UA_NS0ID_HASCOMPONENT);
        const std::function<UA_StatusCode(TestClient &)> edits[] = {
            [&](TestClient &c) { return c.deleteNode(tag); },
            [&](TestClient &c) { return c.addVariable(tagsId, QUaQualifiedName(1, "Intruder")); },
            [&](TestClient &c) {
                return c.addReference(mainId, hasComponent, tag, UA_NODECLASS_VARIABLE);
            },
            [&](TestClient &c) { return c.deleteReference(tagsId, hasComponent, tag); }};
        for (const bool anonymous : {true, false}) {
            TestClient client;
            QCOMPARE(anonymous ? client.connect(m_gateway->port)
                               : client.connectUser(m_gateway->port, "operator", "s3cret"),
                     UA_STATUSCODE_GOOD);
            const QStringList before = referencesBelow(client, mainId);
            QVERIFY(before.count() > 30);
            for (const auto &edit : edits)
                QCOMPARE(edit(client), UA_STATUSCODE_BADUSERACCESSDENIED);
            QCOMPARE(referencesBelow(client, mainId), before);
        }
    }

    void faultySettingsAreRefusedAtStartUp_data()
    {
        QTest::addColumn<QJsonValue>("port"); // null: one another server listens on
        QTest::addColumn<QString>("critical");
        const QString noPort =
            R"(OPC UA NOT started: "opcua_port" %1 is not a port number (1-65535))";
        QTest::newRow("port above 65535") << QJsonValue(70000) << noPort.arg("70000");
        QTest::newRow("port as text") << QJsonValue("abc") << noPort.arg(R"("abc")");
        QTest::newRow("port 0") << QJsonValue(0) << noPort.arg("0");
        QTest::newRow("port taken")
            << QJsonValue()
            << "OPC UA NOT started: port %1 cannot be bound: another program listens on the port";
    }
    void faultySettingsAreRefusedAtStartUp()
    {
        QFETCH(QJsonValue, port);
        QFETCH(QString, critical);
        QUaServer other;
        other.setPort(freeLoopbackPort());
        QVERIFY(!port.isNull() || other.start());
        const QJsonValue setting = port.isNull() ? QJsonValue(other.port()) : port;
        Gateway gateway(jsonText(folders()), true, {{"opcua_port", setting}});
        QCOMPARE(
            gateway.log().filter("[critical]"),
            QStringList{"[critical] " + critical.replace("%1", QString::number(other.port()))});
        QVERIFY(!gateway.core->opcServing());
    }

    void userWithoutPasswordIsNotAdded()
    {
        Gateway gateway(jsonText(folders()), true, {{"opcua_User_password", ""}});
        QCOMPARE(
            gateway.log().filter("[critical]"),
            QStringList{
                R"([critical] OPC UA user "operator" NOT added: no password in settings.json)"});
        TestClient user;
        QCOMPARE(user.connectUser(gateway.port, "operator", ""), UA_STATUSCODE_BADUSERACCESSDENIED);
    }

    void valuesAndRowTextsConvertBothWays_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        const auto add = [](const char *format, const QVariant &value, const QString &text) {
            QTest::addRow("%s %s", format, qPrintable(text)) << QString(format) << value << text;
        };
        add("Boolean", true, "true");
        add("Boolean", false, "false");
        add("SByte", QVariant::fromValue(char(-100)), "-100");
        add("SByte", QVariant::fromValue(char(127)), "127");
        add("Byte", QVariant::fromValue(uchar(200)), "200");
        add("Byte", QVariant::fromValue(uchar(0)), "0");
        add("Int16", QVariant::fromValue(short(-32768)), "-32768");
        add("UInt16", QVariant::fromValue(ushort(65535)), "65535");
        add("Int32", -7, "-7");
        add("UInt32", 4294967295u, "4294967295");
        add("Int64", QVariant::fromValue(long(-9007199254740993LL)), "-9007199254740993");
        add("UInt64", QVariant::fromValue(ulong(18446744073709551615ULL)), "18446744073709551615");
        add("Float", 0.1f, "0.1");
        add("Float", 3.4028235e38f, "3.4028235e+38");
        add("Float", -1.5e-40f, "-1.5e-40");
        add("Double", 0.1, "0.1");
        add("Double", 1.0 / 3, "0.3333333333333333");
        add("Double", 1e300, "1e+300");
        add("Double", -std::numeric_limits<double>::infinity(), "-inf");
        add("String", QStringLiteral(" text; with 'quotes' "), " text; with 'quotes' ");
        add("DateTime", QDateTime(QDate(2026, 1, 15), QTime(8, 0, 0, 125), Qt::UTC),
            "2026-01-15T08:00:00.125Z");
    }
    // What a client writes becomes the row text that reads back as the same
    // value of the same type.
    void valuesAndRowTextsConvertBothWays()
    {
        QFETCH(QString, format);
        QFETCH(QVariant, value);
        QFETCH(QString, text);
        QCOMPARE(rowTextOf(value), text);
        const QVariant back = exactValueOf(text, tagFormatType(format));
        QCOMPARE(back.userType(), tagFormatType(format));
        QCOMPARE(back, value);
    }

    // Rows are applied a slice at a time with clients served in between: a row
    // that came before a client's write to its key does not overwrite it.
    void queuedRowsDoNotOverwriteALaterClientWrite()
    {
        Gateway gateway(tagsFile(false));
        gateway.core->m_ready = true;
        QVERIFY(!gateway.core->createNewTag(sqlRecord("Level", "1", "Int32")));
        TestClient client;
        QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
        TagRows rows;
        for (int i = 1; i <= 3000; ++i)
            rows << TagRow{i, {}, "bulk" + QString::number(i), "1", "w", {}, "Int32"};
        rows << TagRow{9000, {}, "Level", "2", "w", {}, "Int32"};
        QSignalSpy drained(gateway.core.get(), &cInternalFunctions::sql_updated);
        QVERIFY(QMetaObject::invokeMethod(gateway.core.get(), "slot_SQL_rowsRead",
                                          Q_ARG(TagRows, rows), Q_ARG(bool, false)));
        QCOMPARE(client.writeValue(QUaNodeId(0, "Level"), 3), UA_STATUSCODE_GOOD);
        QVERIFY(drained.wait(30000));
        QCOMPARE(gateway.tagNames().size(), 3001);
        QCOMPARE(client.readValue(QUaNodeId(0, "Level")), QVariant(3));
        QVERIFY(gateway.log().filter("Changed Tag[Level]").isEmpty());
        // A read of the whole table takes the place of the rows still waiting.
        for (TagRow &row : rows)
            row.key += "x";
        QVERIFY(QMetaObject::invokeMethod(gateway.core.get(), "slot_SQL_rowsRead",
                                          Q_ARG(TagRows, rows), Q_ARG(bool, false)));
        const TagRows table{TagRow{9001, {}, "Whole", "1", "w", {}, "Int32"}};
        QVERIFY(QMetaObject::invokeMethod(gateway.core.get(), "slot_SQL_rowsRead",
                                          Q_ARG(TagRows, table), Q_ARG(bool, true)));
        QVERIFY(drained.wait(30000));
        QCOMPARE(gateway.tagNames().size(), 3002);
        QCOMPARE(gateway.tagNames().last(), QString("Whole"));
    }

    // Last, as it changes the shared gateway's tags.
    void sqlRecordsCreateAndUpdateTags()
    {
        cInternalFunctions &core = *m_gateway->core;
        const QUaNodeId int32(0, "tag.Int32");
        QStringList tags = m_gateway->tagNames();
        // A later tag of a browse name already there stays behind the first.
        QJsonObject spare = sqlRecord("ns=1;s=Int32Tag", "100", "Int32");
        spare["NodeId"] = "spare";
        QVERIFY(!core.createNewTag(spare));
        QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Added SQL TAG: Int32Tag"));

        // The first tag of the name takes the value, and only the value.
        QVERIFY(core.createNewTag(sqlRecord("Int32Tag", "8", "Int32", true, "other")));
        QCOMPARE(m_gateway->log().last(),
                 QStringLiteral("[info] Changed Tag[Int32Tag]=8, Format=Int32 (SQL)"));
        QCOMPARE(m_client.readValue(int32), QVariant(8));
        QVERIFY(!writable(m_client, int32));
        QCOMPARE(description(m_client, int32), QStringLiteral("the Int32 tag"));
        QCOMPARE(m_client.readValue(QUaNodeId(0, "spare")), QVariant(100));
        // The same text again equals the Int32 value: nothing is written.
        int lines = m_gateway->log().count();
        QVERIFY(!core.createNewTag(sqlRecord("Int32Tag", "8", "Int32")));
        QCOMPARE(m_gateway->log().count(), lines);

        // A new record becomes a tag; creating is not an update.
        const QUaNodeId id(0, "Stamp");
        QVERIFY(!core.createNewTag(
            sqlRecord("Stamp", "2026-02-01T10:00:00Z", "DateTime", false, "SQL")));
        QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Added SQL TAG: Stamp"));
        QCOMPARE(dataTypeOf(m_client, id), QUaNodeId(0, UA_NS0ID_DATETIME));
        QCOMPARE(m_client.readValue(id),
                 QVariant(QDateTime(QDate(2026, 2, 1), QTime(10, 0), Qt::UTC)));
        QVERIFY(!writable(m_client, id));
        QCOMPARE(description(m_client, id), QStringLiteral("SQL"));
        tags << "Int32Tag"
             << "Stamp";
        QCOMPARE(m_gateway->tagNames(), tags);
        QCOMPARE(childNames(m_client, QUaNodeId(0, kFolderSubId), UA_NS0ID_HASCOMPONENT).last(),
                 QStringLiteral("Stamp"));

        // Refused: no WriteAccess, no name, an unknown Format (a known tag keeps
        // its value), a node id in use.
        QJsonObject noAccess = sqlRecord("NoAccess", "1", "Int32");
        noAccess.remove("WriteAccess");
        QJsonObject stolenId = sqlRecord("Pump9", "1", "Int32");
        stolenId["NodeId"] = "tag.Double";
        lines = m_gateway->log().count();
        for (const QJsonObject &record :
             {noAccess, sqlRecord("", "1", "Int32"), sqlRecord("Texty", "1", "Text"), stolenId})
            QVERIFY(!core.createNewTag(record));
        QVERIFY(core.createNewTag(sqlRecord("Int32Tag", "1", "Text")));
        QCOMPARE(
            m_gateway->log().mid(lines),
            (QStringList{"[critical] ERROR New: TagName= NoAccess",
                         "[critical] ERROR Conversion Type for TAG: Texty",
                         "[critical] ERROR Not created: TagName= Pump9, NodeId= ns=0;s=tag.Double",
                         "[critical] ERROR Conversion Type for TAG: Int32Tag"}));
        QCOMPARE(m_gateway->tagNames(), tags);
        QCOMPARE(m_client.readValue(QUaNodeId(0, "tag.Double")), QVariant(3.0));
        QCOMPARE(m_client.readValue(int32), QVariant(8));

        // A new value takes the record's type first.
        QVERIFY(core.createNewTag(sqlRecord("Int32Tag", "5.5", "Double")));
        QCOMPARE(m_gateway->log().last(),
                 QStringLiteral("[info] Changed Tag[Int32Tag]=5.5, Format=Double (SQL)"));
        QCOMPARE(dataTypeOf(m_client, int32), QUaNodeId(0, UA_NS0ID_DOUBLE));
        QCOMPARE(m_client.readValue(int32), QVariant(5.5));
    }
};

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
