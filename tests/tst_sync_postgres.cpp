// Both directions of the tag sync on a real PostgreSQL server with a real
// client over loopback: client writes land in the rows of their key, rows
// changed by another connection reach the tags and subscribed clients, and
// neither direction echoes into the other. The server comes from
// scripts/test.sh through the GATEWAY_TEST_PG_* variables; this test works in
// a database of its own.
#include "support/pgtestdb.h"
#include "tst_sync_fixture.h"

using namespace SyncFixture;

namespace
{

using TestPostgres::connectTo;
using TestPostgres::env;

QString row(int id, const QString &number, const QString &key, const QString &value,
            const QString &format, const QString &type = "w")
{
    return QStringLiteral("INSERT INTO tags VALUES (%1, '%2', '%3', '%4', '%5', 'd', '%6')")
        .arg(id)
        .arg(number, key, value, type, format);
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

    void firstLoadCreatesTheRowsTagsAfterTwoSeconds();
    void clientWriteLandsInEveryRowOfItsKeyOnce();
    void rowChangeReachesSubscribedClientWithoutEcho();
    void insertCreatesANewTagOrUpdatesTheKnownOne();
    void notifiedIdSelectsItsRowWhateverTheOrder();
    void nothingIsWrittenBeforeTheWindowIsReady();
    void refusedWriteIsLoggedAndTheTagKeepsTheValue();

private:
    void start(const QStringList &rows, bool ready = true);
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
    if (!TestPostgres::configured())
        QSKIP(TestPostgres::kNotConfigured);
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
void TestSyncPostgres::start(const QStringList &rows, bool ready)
{
    change("DROP TABLE IF EXISTS tags");
    change(kCreateTags);
    for (const QString &statement : rows)
        change(statement);
    const QJsonObject config = TestPostgres::sqlConfig(m_database);
    m_gateway = std::make_unique<SyncGateway>(config, tagsFile(), ready);
    QVERIFY2(m_gateway->core->m_db.isOpen(), "the gateway did not open the database");
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
}

void TestSyncPostgres::firstLoadCreatesTheRowsTagsAfterTwoSeconds()
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    start({row(1, "1", "Pump1", "5", "Int32"), row(2, "2", "Level", "1.5", "Double", "r"),
           row(3, "3", "Mode", "auto", "String", "W/R"), row(4, "4", "Texty", "x", "Text")});
    QTest::qWait(qMax(0, 1700 - int(sinceStart.elapsed())));
    QVERIFY(m_gateway->tagNames().isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode"}), 1500);
    QVERIFY(sinceStart.elapsed() >= 2000);
    QCOMPARE(m_gateway->log().filter("SQL TAG").count(), 3);
    QCOMPARE(m_gateway->log().filter("ERROR Conversion Type for TAG: Texty").count(), 1);
    QCOMPARE(m_gateway->sqlUpdated, 1);
    QCOMPARE(childNames(*m_client, QUaNodeId(0, kTagsObjectId), UA_NS0ID_HASCOMPONENT),
             (QStringList{"Pump1", "Level", "Mode"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(1.5));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Mode")), QVariant("auto"));
    QVERIFY(m_client->readAttribute(QUaNodeId(0, "Mode"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
            UA_ACCESSLEVELMASK_WRITE);
    QVERIFY(!(m_client->readAttribute(QUaNodeId(0, "Level"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
              UA_ACCESSLEVELMASK_WRITE));

    // A deletion reloads every remaining row: the refused row is refused
    // again, and the deleted row's tag stays.
    change("DELETE FROM tags WHERE id = 3");
    QTRY_COMPARE(m_gateway->sqlUpdated, 2);
    QCOMPARE(m_gateway->log().filter("ERROR Conversion Type for TAG: Texty").count(), 2);
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Mode")), QVariant("auto"));
}

void TestSyncPostgres::clientWriteLandsInEveryRowOfItsKeyOnce()
{
    start({row(1, "1", "Pump1", "0", "Int32"), row(2, "2", "Level", "0", "Int32"),
           row(3, "3", "Pump1", "0", "Int32")});
    m_gateway->loadNow();
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level"}));
    const int logLines = m_gateway->log().count();
    m_gateway->sqlUpdated = 0;
    ConsoleCapture::take();

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(stored(1), QStringLiteral("7"));
    QCOMPARE(stored(3), QStringLiteral("7"));
    QCOMPARE(stored(2), QStringLiteral("0"));
    QCOMPARE(debugLines("OPC Changed"),
             QStringList{"OPC Changed: TagName= Pump1, Value= 7, networkChange=1"});
    QCOMPARE(m_gateway->log().mid(logLines), (QStringList{"[info] Changed Tag[Pump1]=7 (OPC)",
                                                          "[info] Changed Tag[Pump1]=7 (OPC)"}));
    QCOMPARE(m_gateway->model->data(m_gateway->model->index(2, 3)).toString(), QStringLiteral("7"));

    // The two rows' echoes are read back, and as the tag holds the value
    // already, nothing goes anywhere: one repaint per write and per echo.
    QTRY_COMPARE(m_gateway->notifications,
                 (QStringList{"update_tags_notf|1", "update_tags_notf|3"}));
    settle();
    QCOMPARE(m_gateway->notifications.count(), 2);
    QCOMPARE(m_gateway->sqlUpdated, 1 + 2);
    QCOMPARE(m_gateway->log().count(), logLines + 2);
    QVERIFY(debugLines("OPC Changed").isEmpty());
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(7));
}

void TestSyncPostgres::rowChangeReachesSubscribedClientWithoutEcho()
{
    start({row(1, "1", "Pump1", "5", "Int32"), row(2, "2", "Level", "5", "Int32")});
    m_gateway->loadNow();
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
    QCOMPARE(m_gateway->notifications, QStringList{"update_tags_notf|2"});
    QCOMPARE(stored(2), QStringLiteral("6"));
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(5));

    // The same text again, then another format with the same text: the values
    // are equal, so the Int32 variable stays as it is.
    change("UPDATE tags SET value = '6' WHERE id = 2");
    change("UPDATE tags SET format = 'Double' WHERE id = 2");
    QTRY_COMPARE(m_gateway->notifications.count(), 3);
    settle();
    QCOMPARE(m_gateway->log().count(), logLines + 1);
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Level")), QUaNodeId(0, UA_NS0ID_INT32));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(6));
    QCOMPARE(watcher.values(), (QVariantList{5, 6}));
}

void TestSyncPostgres::insertCreatesANewTagOrUpdatesTheKnownOne()
{
    start({row(1, "1", "Pump1", "5", "Int32")});
    m_gateway->loadNow();
    const int logLines = m_gateway->log().count();

    change(row(4, "4", "Valve1", "true", "Boolean"));
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Valve1"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Valve1")), QVariant(true));

    change(row(5, "5", "Pump1", "9", "Int32"));
    QTRY_COMPARE(m_gateway->tagValue("Pump1"), QVariant(9));
    QCOMPARE(m_gateway->log().mid(logLines),
             (QStringList{"[info] Added SQL TAG: Valve1",
                          "[info] Changed Tag[Pump1]=9, Format=Int32 (SQL)"}));
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Valve1"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(9));
}

// Ids with gaps, stored against the order of "number" that the view sorts by:
// the notified id is the row's id, not its place.
void TestSyncPostgres::notifiedIdSelectsItsRowWhateverTheOrder()
{
    start({row(1, "3", "TagA", "1", "Int32"), row(3, "1", "TagB", "1", "Int32"),
           row(10, "2", "TagC", "1", "Int32")});
    m_gateway->loadNow();
    QCOMPARE(m_gateway->model->data(m_gateway->model->index(0, 2)).toString(),
             QStringLiteral("TagB"));

    change("UPDATE tags SET value = '11' WHERE id = 1");
    QTRY_COMPARE(m_gateway->tagValue("TagA"), QVariant(11));
    change("UPDATE tags SET value = '12' WHERE id = 10");
    QTRY_COMPARE(m_gateway->tagValue("TagC"), QVariant(12));
    QCOMPARE(m_gateway->tagValue("TagB"), QVariant(1));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "TagA")), QVariant(11));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "TagC")), QVariant(12));
    // The window's model follows, still in its order.
    QCOMPARE(m_gateway->model->data(m_gateway->model->index(2, 3)).toString(),
             QStringLiteral("11"));
}

void TestSyncPostgres::nothingIsWrittenBeforeTheWindowIsReady()
{
    start({row(1, "1", "Pump1", "5", "Int32")}, false);
    m_gateway->loadNow();
    m_gateway->core->m_checkTimer.stop();
    ConsoleCapture::take();

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    settle();
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(7));
    QCOMPARE(stored(1), QStringLiteral("5"));
    QVERIFY(debugLines("OPC Changed").isEmpty());
    QVERIFY(m_gateway->log().filter("(OPC)").isEmpty());
    QVERIFY(!m_gateway->core->m_checkTimer.isActive());
    QVERIFY(m_gateway->notifications.isEmpty());
}

void TestSyncPostgres::refusedWriteIsLoggedAndTheTagKeepsTheValue()
{
    start({row(1, "1", "Pump1", "5", "Int32")});
    change("ALTER TABLE tags ADD CONSTRAINT no_thirteen CHECK (value <> '13')");
    m_gateway->loadNow();

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 13), UA_STATUSCODE_GOOD);
    const QString last = m_gateway->log().last();
    QVERIFY2(last.startsWith("[critical] ERROR SQL Write: TagName= Pump1, ") &&
                 last.contains("no_thirteen"),
             qPrintable(last));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(13));
    QCOMPARE(stored(1), QStringLiteral("5"));
    // The model drops the refused edit: the view shows what is stored, and the
    // next write goes through alone.
    QCOMPARE(m_gateway->model->data(m_gateway->model->index(0, 3)).toString(), QStringLiteral("5"));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 8), UA_STATUSCODE_GOOD);
    QCOMPARE(stored(1), QStringLiteral("8"));
    QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Changed Tag[Pump1]=8 (OPC)"));
}

QTEST_MAIN(TestSyncPostgres)
#include "tst_sync_postgres.moc"
