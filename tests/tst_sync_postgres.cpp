// Both directions of the tag sync on a real PostgreSQL server with real
// clients over loopback: the first load whatever arrives before it, client
// writes in every row of their key without echo, notified rows (SERIAL ids
// included) reaching subscribed clients, and the notification triggers. The
// server comes from scripts/test.sh through the GATEWAY_TEST_PG_* variables;
// this test works in a database of its own.
#include "support/pgtestdb.h"
#include "support/syncfixture.h"

using namespace SyncFixture;

namespace
{

using TestPostgres::connectTo;

const char kCreateSerialTags[] = "CREATE TABLE tags (id SERIAL PRIMARY KEY, number TEXT, key TEXT, "
                                 "value TEXT, type TEXT, description TEXT, format TEXT)";

QString row(int id, const QString &number, const QString &key, const QString &value,
            const QString &format, const QString &type = "w")
{
    return QStringLiteral("INSERT INTO tags VALUES (%1, '%2', '%3', '%4', '%5', 'd', '%6')")
        .arg(id)
        .arg(number, key, value, type, format);
}

QStringList column(const QSqlDatabase &db, const QString &statement)
{
    QStringList texts;
    QSqlQuery query = exec(db, statement);
    while (query.next())
        texts << query.value(0).toString();
    return texts;
}

} // namespace

class TestSyncPostgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init() { ConsoleCapture::take(); }
    void cleanup();

    void firstLoadComesWhateverArrivesBeforeIt();
    void clientWritesLandInEveryRowOfTheirKeyWithoutEcho();
    void rowChangeReachesSubscribedClient();

private:
    void start(const QStringList &rows, const QByteArray &tagsJson = tagsFile());
    QString stored(int id) { return storedValue(m_writer, id); }
    void change(const QString &statement) { exec(m_writer, statement); }
    // Lets pending notifications arrive and be handled.
    void settle() { QTest::qWait(300); }

    QString m_database;
    QSqlDatabase m_writer;
    std::unique_ptr<SyncGateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

void TestSyncPostgres::initTestCase()
{
    QVERIFY2(TestPostgres::configured(), TestPostgres::kNotConfigured);
    ConsoleCapture::install();
    const QString error = TestPostgres::createOwnDatabase("gateway_sync", m_database);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    m_writer = connectTo("writer", m_database);
    QVERIFY2(m_writer.isOpen(), qPrintable(m_writer.lastError().text()));
}

void TestSyncPostgres::cleanupTestCase()
{
    m_writer.close();
    TestPostgres::dropOwnDatabase(m_database);
}

void TestSyncPostgres::cleanup()
{
    m_client.reset();
    m_gateway.reset();
}

// A fresh tags table with the rows, then the gateway and a connected client.
void TestSyncPostgres::start(const QStringList &rows, const QByteArray &tagsJson)
{
    change("DROP TABLE IF EXISTS tags");
    change(kCreateSerialTags);
    for (const QString &statement : rows)
        change(statement);
    m_gateway = std::make_unique<SyncGateway>(TestPostgres::sqlConfig(m_database), tagsJson);
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(m_gateway->log().contains("[info] InitSQL - OK!"));
}

// A client's write and a row changed elsewhere in the first two seconds do
// not take the first load's place; a row inserted without an id becomes a
// tag under the id it really got; a deletion reloads every row; rules of an
// older version give way to the triggers.
void TestSyncPostgres::firstLoadComesWhateverArrivesBeforeIt()
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    start({"CREATE RULE some_notify_rule2 AS ON UPDATE TO tags DO SELECT "
           "pg_notify('update_tags_notf'::text, new.id::text)",
           row(1, "1", "Pump1", "5", "Int32"), row(2, "2", "Level", "1.5", "Double", "r"),
           row(3, "3", "Mode", "auto", "String", "W/R"), row(4, "4", "Texty", "x", "Text"),
           "SELECT setval('tags_id_seq', 10)"},
          tagsFile(R"({"TagName": "Pump1", "NodeId": "Pump1", "Format": "Int32", "Value": 0,
                       "WriteAccess": true})"));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    change("UPDATE tags SET value = '2.5' WHERE id = 2");
    QTRY_COMPARE(stored(1), QStringLiteral("7"));
    QTest::qWait(qMax(0, 1700 - int(sinceStart.elapsed())));
    QCOMPARE(m_gateway->tagNames(), QStringList{"Pump1"});

    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode"}));
    QVERIFY(sinceStart.elapsed() >= 2000);
    QCOMPARE(m_gateway->logCount("SQL TAG"), 2);
    QCOMPARE(m_gateway->logCount("ERROR Conversion Type for TAG: Texty"), 1);
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(2.5));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(7));
    QVERIFY(m_client->readAttribute(QUaNodeId(0, "Mode"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
            UA_ACCESSLEVELMASK_WRITE);
    QVERIFY(!(m_client->readAttribute(QUaNodeId(0, "Level"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
              UA_ACCESSLEVELMASK_WRITE));
    QVERIFY(column(m_writer, "SELECT rulename FROM pg_rules WHERE tablename = 'tags'").isEmpty());
    QCOMPARE(column(m_writer, "SELECT tgname FROM pg_trigger WHERE tgrelid = 'tags'::regclass "
                              "ORDER BY 1"),
             QStringList({"some_notify_rule1", "some_notify_rule2", "some_notify_rule3"}));

    change("DELETE FROM tags WHERE id = 3");
    QTRY_COMPARE(m_gateway->logCount("ERROR Conversion Type for TAG: Texty"), 2);
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Mode")), QVariant("auto"));

    change("INSERT INTO tags (number, key, value, type, description, format) "
           "VALUES ('5', 'Valve1', 'true', 'w', 'd', 'Boolean'), ('6', 'Pump1', '9', 'w', 'd', "
           "'Int32')");
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode", "Valve1"}));
    QTRY_COMPARE(m_gateway->tagValue("Pump1"), QVariant(9));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Valve1")), QVariant(true));
    QCOMPARE(m_gateway->shown(11, kKeyColumn), QStringLiteral("Valve1"));
}

void TestSyncPostgres::clientWritesLandInEveryRowOfTheirKeyWithoutEcho()
{
    start({row(1, "1", "Pump1", "0", "Int32"), row(2, "2", "Level", "0", "Int32"),
           row(3, "3", "Pump1", "0", "Int32")});
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level"}));
    const int logLines = m_gateway->log().count();
    ConsoleCapture::take();

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(
        m_gateway->log().mid(logLines),
        (QStringList{"[info] Changed Tag[Pump1]=7 (OPC)", "[info] Changed Tag[Pump1]=7 (OPC)"}));
    QCOMPARE(stored(1), QStringLiteral("7"));
    QCOMPARE(stored(3), QStringLiteral("7"));
    QCOMPARE(stored(2), QStringLiteral("0"));
    QCOMPARE(m_gateway->shown(3, kValueColumn), QStringLiteral("7"));
    // The rows' notifications find what the store wrote: nothing goes back.
    settle();
    QCOMPARE(m_gateway->log().count(), logLines + 2);
    QCOMPARE(debugLines("OPC Changed"),
             QStringList{"OPC Changed: TagName= Pump1, Value= 7, networkChange=1"});
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(7));

    // A burst from two clients: the last value of each key is what stays.
    TestClient second;
    QCOMPARE(second.connect(m_gateway->port), UA_STATUSCODE_GOOD);
    for (int value = 1; value <= 30; ++value) {
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QCOMPARE(second.writeValue(QUaNodeId(0, "Level"), 100 + value), UA_STATUSCODE_GOOD);
    }
    QTRY_COMPARE(stored(3), QStringLiteral("30"));
    QTRY_COMPARE(stored(2), QStringLiteral("130"));
    settle();
    QCOMPARE(m_gateway->tagValue("Level"), QVariant(130));
    QCOMPARE(m_gateway->logCount("(SQL)"), 0);
}

void TestSyncPostgres::rowChangeReachesSubscribedClient()
{
    start({row(1, "1", "Pump1", "5", "Int32"), row(2, "2", "Level", "5", "Int32")});
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level"}));
    ValueWatcher watcher(*m_client, QUaNodeId(0, "Level"));
    QCOMPARE(watcher.status(), UA_STATUSCODE_GOOD);
    QVERIFY(watcher.waitFor(5));
    const int logLines = m_gateway->log().count();
    ConsoleCapture::take();

    change("UPDATE tags SET value = '6' WHERE id = 2");
    QVERIFY(watcher.waitFor(6));
    settle();
    QCOMPARE(m_gateway->log().mid(logLines),
             QStringList{"[info] Changed Tag[Level]=6, Format=Int32 (SQL)"});
    QCOMPARE(debugLines("OPC Changed"),
             QStringList{"OPC Changed: TagName= Level, Value= 6, networkChange=0"});
    QCOMPARE(stored(2), QStringLiteral("6"));
    QCOMPARE(m_gateway->shown(2, kValueColumn), QStringLiteral("6"));
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(5));

    // The same text again, then another format with the same text: the values
    // are equal, so the Int32 variable stays as it is.
    change("UPDATE tags SET value = '6' WHERE id = 2");
    change("UPDATE tags SET format = 'Double' WHERE id = 2");
    QTRY_COMPARE(m_gateway->shown(2, kFormatColumn), QStringLiteral("Double"));
    settle();
    QCOMPARE(m_gateway->log().count(), logLines + 1);
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Level")), QUaNodeId(0, UA_NS0ID_INT32));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(6));
    QCOMPARE(watcher.values(), (QVariantList{5, 6}));
}

QTEST_MAIN(TestSyncPostgres)
#include "tst_sync_postgres.moc"
