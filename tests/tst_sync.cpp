// The tag sync with real clients over loopback on SQLite files, on the ODBC
// path (the SQLite ODBC driver standing in for SQL Server) and on a PostgreSQL
// cluster of this test's own, which is also stopped and started under the
// gateway to see the sync through lost, late and stalled databases.
#include "support/syncfixture.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <signal.h>

namespace
{

// SqlServerOnPg: the MSSQL configuration through PostgreSQL's ODBC driver,
// registered as "SQL Server" for the run that sets GATEWAY_TEST_SQLSERVER_ON_PG.
enum Backend { SQLite, Odbc, Postgres, SqlServerOnPg };
enum Fault { Terminated, Restarted, Stalled };

void addBackends(bool withOdbc)
{
    QTest::addColumn<int>("backend");
    QTest::newRow("SQLite") << int(SQLite);
    if (withOdbc)
        QTest::newRow("ODBC") << int(Odbc);
    QTest::newRow("PostgreSQL") << int(Postgres);
}

// Runs the cluster script; its "export NAME=value" lines become this
// process's environment.
bool runClusterScript(const QString &action, const QString &folder)
{
    QProcess script;
    script.start(QStringLiteral(GATEWAY_PG_SERVER_SCRIPT), {action, folder});
    if (!script.waitForFinished(60000) || script.exitCode() != 0)
        return false;
    for (const QString &line : QString::fromUtf8(script.readAllStandardOutput()).split('\n')) {
        if (!line.startsWith(QLatin1String("export ")))
            continue;
        const QString assignment = line.mid(7);
        qputenv(qPrintable(assignment.section('=', 0, 0)), assignment.section('=', 1).toUtf8());
    }
    return true;
}

QString row(int id, const QString &key, const QString &value, const QString &format,
            const QString &type = "w")
{
    return QStringLiteral("(%1, '%1', '%2', '%3', '%4', 'd', '%5')")
        .arg(id)
        .arg(key, value, type, format);
}

const QStringList kThreeTags = {row(1, "Pump1", "0", "Int32"), row(2, "Pump2", "0", "Int32"),
                                row(3, "Level", "0", "Int32")};

QString appFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + name;
}

const QStringList kRefusedTriggers = {"[critical] InitSQL insert_tags_notf - ERROR!",
                                      "[critical] InitSQL update_tags_notf - ERROR!",
                                      "[critical] InitSQL delete_tags_notf - ERROR!"};
const QString kOk = QStringLiteral("[info] InitSQL - OK!");

// The gateway's server processes: the client connections to the test's
// database but the asking one.
const QString kGatewayBackends = "FROM pg_stat_activity WHERE datname = current_database() "
                                 "AND backend_type = 'client backend' AND pid <> pg_backend_pid()";

const QByteArray kPumpFileTag = tagsFile(R"({"TagName": "Pump1", "NodeId": "Pump1",
    "Format": "Int32", "Value": 0, "WriteAccess": true})");

} // namespace

class TestSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { runClusterScript("stop", m_cluster); }
    void init() { ConsoleCapture::take(); }
    void cleanup();

    void unopenedDatabaseLeavesTheGatewayInert_data();
    void unopenedDatabaseLeavesTheGatewayInert();
    void tablesGetTheirExactTextAndTriggersAreRefused();
    void odbcConnectionStringIsExact();
    void firstLoadComesTwoSecondsAfterTheStart_data() { addBackends(true); }
    void firstLoadComesTwoSecondsAfterTheStart();
    void sqlAndClientsMeetInEveryRow_data() { addBackends(false); }
    void sqlAndClientsMeetInEveryRow();
    void rowTextsBecomeValuesOnlyWhenExact();
    void developerStatementsReportOnDebugOutput();
    void refusedWriteIsDroppedAndALockOnlyDelaysTheNext();
    void databaseOutageIsSurvived_data();
    void databaseOutageIsSurvived();
    void stopsKeepEveryValue_data();
    void stopsKeepEveryValue();

private:
    // A fresh tags table with these rows, and in m_config the sql.json that
    // reaches it; SQLite and ODBC get a new file each time.
    void seed(int backend, const QStringList &rows);
    // The gateway on m_config once its database is open, and a connected client.
    void start(const QByteArray &tagsJson = tagsFile());
    QString stored() { return storedValues(m_writer); }
    // Reads Pump1 for this long; each read answers this value at once.
    void readsStayFast(int forMs, const QVariant &expected);
    // Lets pending notifications and polls arrive and be handled.
    void settle() { QTest::qWait(300); }

    QTemporaryDir m_clusterParent;
    QString m_cluster;
    QSqlDatabase m_postgres;
    QString m_file;
    QSqlDatabase m_writer;
    QJsonObject m_config;
    std::unique_ptr<SyncGateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

void TestSync::initTestCase()
{
    ConsoleCapture::install();
    // The cluster's owner is another user when the suite runs as root.
    QFile::setPermissions(m_clusterParent.path(), QFile::permissions(m_clusterParent.path()) |
                                                      QFile::ReadOther | QFile::ExeOther);
    m_cluster = m_clusterParent.filePath("pg");
    QVERIFY2(runClusterScript("start", m_cluster), "the test's PostgreSQL cluster did not start");
    m_postgres = QSqlDatabase::addDatabase("QPSQL", "pgwriter");
    m_postgres.setHostName(qEnvironmentVariable("GATEWAY_TEST_PG_HOST"));
    m_postgres.setPort(qEnvironmentVariable("GATEWAY_TEST_PG_PORT").toInt());
    m_postgres.setUserName(qEnvironmentVariable("GATEWAY_TEST_PG_USER"));
    m_postgres.setPassword(qEnvironmentVariable("GATEWAY_TEST_PG_PASSWORD"));
    m_postgres.setDatabaseName(qEnvironmentVariable("GATEWAY_TEST_PG_DATABASE"));
}

void TestSync::cleanup()
{
    m_client.reset();
    m_gateway.reset();
    m_writer = QSqlDatabase();
    QSqlDatabase::removeDatabase("writer");
    // Each case starts without values a former one left in the write journal.
    for (const QString &file : {m_file, appFile("/store.db"), appFile("/write-journal.db"),
                                appFile("/write-journal.db-wal"), appFile("/write-journal.db-shm")})
        QFile::remove(file);
}

void TestSync::seed(int backend, const QStringList &rows)
{
    if (backend == Postgres || backend == SqlServerOnPg) {
        m_postgres.close();
        QVERIFY2(m_postgres.open(), qPrintable(m_postgres.lastError().text()));
        m_writer = m_postgres;
        exec(m_writer, "DROP TABLE IF EXISTS tags");
        exec(m_writer, "CREATE TABLE tags (id SERIAL PRIMARY KEY, number TEXT, key TEXT, "
                       "value TEXT, type TEXT, description TEXT, format TEXT)");
        m_config = {{"sql_enable", true},
                    {"database_type", "POSTGRESQL"},
                    {"database_name", m_postgres.databaseName()},
                    {"database_path", m_postgres.hostName()},
                    {"database_port", m_postgres.port()},
                    {"database_user", m_postgres.userName()},
                    {"database_password", m_postgres.password()},
                    {"Tables", tagsTables()}};
    } else {
        static int count = 0;
        const QString name = QStringLiteral("sync%1.db").arg(++count);
        m_file = appFile('/' + name);
        QFile::remove(m_file);
        m_writer = QSqlDatabase::addDatabase("QSQLITE", "writer");
        m_writer.setDatabaseName(m_file);
        QVERIFY(m_writer.open());
        exec(m_writer, kCreateTags);
        m_config = sqliteConfig('/' + name);
    }
    if (backend == Odbc) {
        QVERIFY2(!qEnvironmentVariableIsEmpty("GATEWAY_TEST_ODBC"),
                 "GATEWAY_TEST_ODBC is not set: scripts/test.sh registers the ODBC driver");
        m_config["database_type"] = "MSSQL";
        m_config["database_name"] = m_file;
        m_config["database_path"] = "localhost";
    }
    if (backend == SqlServerOnPg) {
        // The driver leaves the port to libpq; without notifications the
        // table is polled.
        qputenv("PGPORT", QByteArray::number(m_postgres.port()));
        m_config["database_type"] = "MSSQL";
        m_config["sql_poll_interval_ms"] = 200;
    }
    exec(m_writer, "INSERT INTO tags VALUES " + rows.join(", "));
}

void TestSync::start(const QByteArray &tagsJson)
{
    m_gateway = std::make_unique<SyncGateway>(m_config, tagsJson);
    QTRY_VERIFY(m_gateway->log().contains(kOk));
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
}

void TestSync::readsStayFast(int forMs, const QVariant &expected)
{
    QElapsedTimer total;
    total.start();
    while (!total.hasExpired(forMs)) {
        QElapsedTimer read;
        read.start();
        QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), expected);
        QVERIFY2(read.elapsed() < 500, qPrintable(QString::number(read.elapsed())));
        QTest::qWait(50);
    }
}

void TestSync::unopenedDatabaseLeavesTheGatewayInert_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("line");
    const QString notOpen = "[critical] InitSQL - ERROR! DataBase NOT Open!";
    QTest::newRow("disabled") << "sql_enable" << QJsonValue(false) << "[info] InitSQL - DISABLE!";
    QTest::newRow("type spelled SQLite") << "database_type" << QJsonValue("SQLite") << notOpen;
    QTest::newRow("file in a missing folder")
        << "database_localpath" << QJsonValue("/no/such/folder/store.db") << notOpen;
    QTest::newRow("PostgreSQL started later") << QString() << QJsonValue() << notOpen;
}

// The OPC UA side serves alone; a database that may still appear is tried
// again without a line per attempt, and a PostgreSQL server started later is
// found then.
void TestSync::unopenedDatabaseLeavesTheGatewayInert()
{
    QFETCH(QString, entry);
    QFETCH(QJsonValue, value);
    QFETCH(QString, line);
    m_config = sqliteConfig("/store.db");
    if (entry.isEmpty()) {
        seed(Postgres, kThreeTags);
        m_writer.close();
        QVERIFY(runClusterScript("pause", m_cluster));
    } else {
        m_config[entry] = value;
    }
    SyncGateway gateway(m_config, kPumpFileTag);
    QTest::qWait(1500);
    QCOMPARE(gateway.log().filter("InitSQL"), QStringList{line});
    TestClient client;
    QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
    QCOMPARE(client.writeValue(QUaNodeId(0, "Pump1"), 3), UA_STATUSCODE_GOOD);
    QVERIFY(!QFile::exists(appFile("/store.db")));
    if (!entry.isEmpty())
        return;
    QVERIFY(runClusterScript("resume", m_cluster));
    QTRY_COMPARE_WITH_TIMEOUT(gateway.tagNames(), (QStringList{"Pump1", "Pump2", "Level"}), 10000);
    QCOMPARE(gateway.log().filter("InitSQL"), (QStringList{line, kOk}));
}

void TestSync::tablesGetTheirExactTextAndTriggersAreRefused()
{
    QJsonObject table = tagsTables().first().toObject();
    const QJsonArray columns = table["Columns"].toArray();
    table["Columns"] = QJsonArray{columns[kIdColumn], columns[kKeyColumn]};
    QJsonObject events = table;
    events["TableName"] = "events";
    events.remove("PrimaryKey");
    const QJsonObject config = sqliteConfig("/store.db", {table, events});
    const QStringList expectedLog = kRefusedTriggers + kRefusedTriggers + QStringList{kOk};
    // A later start finds the tables in place and says nothing more about them.
    for (int startCount = 1; startCount <= 2; ++startCount) {
        SyncGateway gateway(config);
        QTRY_COMPARE(gateway.log().filter("InitSQL"), expectedLog);
    }
    m_writer = QSqlDatabase::addDatabase("QSQLITE", "writer");
    m_writer.setDatabaseName(appFile("/store.db"));
    QVERIFY(m_writer.open());
    QCOMPARE(
        queryTexts(m_writer, "SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name"),
        QStringList({"CREATE TABLE events (id INTEGER  NOT NULL, key TEXT   )",
                     "CREATE TABLE tags (id INTEGER  NOT NULL, key TEXT   ,PRIMARY "
                     "KEY (id ))"}));
}

// A value with ';' or braces is quoted, so it cannot add keywords of its own.
void TestSync::odbcConnectionStringIsExact()
{
    const auto text = [](const QString &server, const QString &user, const QString &password) {
        return TagStore::odbcConnectionString({{"database_path", server},
                                               {"database_name", "plant.db"},
                                               {"database_user", user},
                                               {"database_password", password}});
    };
    QCOMPARE(text("plant-sql\\SCADA", "sa", ""),
             QStringLiteral("DRIVER={SQL Server};SERVER=plant-sql\\SCADA;DATABASE=plant.db;UID=sa;"
                            "PWD=;WSID=."));
    QCOMPARE(text("srv;DATABASE=other.db", "sa", "pw;UID=admin"),
             QStringLiteral("DRIVER={SQL Server};SERVER={srv;DATABASE=other.db};DATABASE=plant.db;"
                            "UID=sa;PWD={pw;UID=admin};WSID=."));
    QCOMPARE(text("srv", "{sa}", "p}w"),
             QStringLiteral("DRIVER={SQL Server};SERVER=srv;DATABASE=plant.db;UID={{sa}}};"
                            "PWD={p}}w};WSID=."));
}

// The rows become tags two seconds after the start however busy the clients
// are, and every client write lands in its row. Without notifications or
// polling, changes in SQL stay there; on PostgreSQL a notified change comes
// with the first load, and triggers take the place of an older version's rules.
void TestSync::firstLoadComesTwoSecondsAfterTheStart()
{
    QFETCH(int, backend);
    QElapsedTimer sinceStart;
    sinceStart.start();
    seed(backend, {row(1, "Pump1", "0", "Int32"), row(2, "Level", "1.5", "Double", "r"),
                   row(3, "Mode", "auto", "String", "W/R"), row(4, "Texty", "x", "Text")});
    if (backend == Postgres)
        exec(m_writer, "CREATE RULE some_notify_rule2 AS ON UPDATE TO tags DO SELECT "
                       "pg_notify('update_tags_notf'::text, new.id::text)");
    start(kPumpFileTag);
    if (backend == Postgres)
        exec(m_writer, "UPDATE tags SET value = '2.5' WHERE id = 2");
    const double level = backend == Postgres ? 2.5 : 1.5;
    for (int value = 1; value <= 4; ++value) {
        QTest::qWait(600);
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QTRY_COMPARE(stored(), QStringLiteral("%1,%2,auto,x").arg(value).arg(level));
        if (sinceStart.elapsed() < 1800)
            QCOMPARE(m_gateway->tagNames(), QStringList{"Pump1"});
    }
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level", "Mode"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(4));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(level));
    QCOMPARE(m_gateway->logCount("ERROR Conversion Type for TAG: Texty"), 1);
    QTRY_COMPARE(m_gateway->logCount("(OPC)"), 4);
    QVERIFY(m_client->readAttribute(QUaNodeId(0, "Mode"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
            UA_ACCESSLEVELMASK_WRITE);
    QVERIFY(!(m_client->readAttribute(QUaNodeId(0, "Level"), UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
              UA_ACCESSLEVELMASK_WRITE));
    if (backend == Postgres) {
        QVERIFY(queryTexts(m_writer, "SELECT rulename FROM pg_rules WHERE tablename = 'tags'")
                    .isEmpty());
        QCOMPARE(queryTexts(m_writer,
                            "SELECT tgname FROM pg_trigger WHERE tgrelid = 'tags'::regclass "
                            "ORDER BY 1"),
                 QStringList({"some_notify_rule1", "some_notify_rule2", "some_notify_rule3"}));
        return;
    }
    QCOMPARE(m_gateway->log().filter("InitSQL").mid(0, 3), kRefusedTriggers);
    exec(m_writer, "UPDATE tags SET value = '2.5' WHERE id = 2");
    QTest::qWait(1000);
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(level));
    QCOMPARE(m_gateway->logCount("(SQL)"), 0);
}

// Found by polling or notified, and written by clients: a changed row reaches
// a subscribed client, the same text again or another format with an equal
// value changes nothing; a client's write lands in every row of its key and
// does not come back, a burst from two clients ends with their last values, a
// long value is logged shortened; a row inserted without an id becomes a tag
// under the id it got, and a removed one leaves the window but not the server.
void TestSync::sqlAndClientsMeetInEveryRow()
{
    QFETCH(int, backend);
    seed(backend, {row(1, "Level", "5", "Int32"), row(2, "Mode", "a", "String"),
                   row(3, "Pump1", "0", "Int32"), row(4, "Pump1", "0", "Int32")});
    if (backend == Postgres)
        exec(m_writer, "SELECT setval('tags_id_seq', 4)");
    else
        m_config["sql_poll_interval_ms"] = 200;
    start();
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Level", "Mode", "Pump1"}));
    ValueWatcher watcher(*m_client, QUaNodeId(0, "Level"));
    QVERIFY(watcher.waitFor(5));
    int logLines = m_gateway->log().count();
    ConsoleCapture::take();

    exec(m_writer, "UPDATE tags SET value = '6' WHERE id = 1");
    QVERIFY(watcher.waitFor(6, 2 * 200 + 300));
    settle();
    QCOMPARE(m_gateway->log().mid(logLines),
             QStringList{"[info] Changed Tag[Level]=6, Format=Int32 (SQL)"});
    QCOMPARE(debugLines("OPC Changed"),
             QStringList{"OPC Changed: TagName= Level, Value= 6, networkChange=0"});
    exec(m_writer, "UPDATE tags SET value = '6' WHERE id = 1");
    exec(m_writer, "UPDATE tags SET format = 'Double' WHERE id = 1");
    QTRY_COMPARE(m_gateway->shown(1, kFormatColumn), QStringLiteral("Double"));
    settle();
    QCOMPARE(m_gateway->log().count(), ++logLines);
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Level")), QUaNodeId(0, UA_NS0ID_INT32));
    QCOMPARE(watcher.values(), (QVariantList{5, 6}));

    ConsoleCapture::take();
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(
        m_gateway->log().mid(logLines),
        (QStringList{"[info] Changed Tag[Pump1]=7 (OPC)", "[info] Changed Tag[Pump1]=7 (OPC)"}));
    QCOMPARE(stored(), QStringLiteral("6,a,7,7"));
    // Notified or polled, the rows show what the store wrote: nothing goes back.
    settle();
    QCOMPARE(debugLines("OPC Changed"),
             QStringList{"OPC Changed: TagName= Pump1, Value= 7, networkChange=1"});
    TestClient second;
    QCOMPARE(second.connect(m_gateway->port), UA_STATUSCODE_GOOD);
    for (int value = 1; value <= 30; ++value) {
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QCOMPARE(second.writeValue(QUaNodeId(0, "Level"), 100 + value), UA_STATUSCODE_GOOD);
    }
    QTRY_COMPARE(stored(), QStringLiteral("130,a,30,30"));
    settle();
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(130));
    const QString wide(5000, QLatin1Char('w'));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Mode"), wide), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(m_gateway->log().filter("(OPC)").last(),
                 "[info] Changed Tag[Mode]=" + wide.left(256) + "... (5000 characters) (OPC)");
    QCOMPARE(stored(), "130," + wide + ",30,30");

    exec(m_writer, "INSERT INTO tags (number, key, value, type, description, format) "
                   "VALUES ('5', 'Valve1', 'true', 'w', 'd', 'Boolean')");
    exec(m_writer, "DELETE FROM tags WHERE id = 2");
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Level", "Mode", "Pump1", "Valve1"}));
    QTRY_COMPARE(columnTexts(m_gateway->model, kIdColumn), (QStringList{"1", "3", "4", "5"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Valve1")), QVariant(true));
    QCOMPARE(m_gateway->logCount("(SQL)"), 1);

    // One statement changing several rows reaches every tag; a row given
    // another key no longer takes the old tag's values.
    exec(m_writer, "UPDATE tags SET value = CASE id WHEN 1 THEN '11' ELSE 'false' END, "
                   "key = CASE id WHEN 3 THEN 'Spare' ELSE key END WHERE id IN (1, 3, 5)");
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(11));
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Valve1")), QVariant(false));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 55), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(stored(), QStringLiteral("11,false,55,false"));
    settle();
    QCOMPARE(stored(), QStringLiteral("11,false,55,false"));
}

// Each case is a row whose first text converts exactly to its Format and whose
// second does not: the tag keeps the first value, and the row is reported once.
void TestSync::rowTextsBecomeValuesOnlyWhenExact()
{
    struct Case {
        const char *format;
        const char *good;
        QVariant value;
        const char *bad;
    };
    const QList<Case> cases = {
        {"Int32", " 12 ", 12, "7.0"},
        {"Int32", "7", 7, ""},
        {"Byte", "255", 255, "256"},
        {"UInt32", "4294967295", 4294967295u, "-1"},
        {"Int64", "9007199254740993", 9007199254740993LL, "1e3"},
        {"Boolean", "TRUE ", true, "no"},
        {"Boolean", "0", false, "off"},
        {"Double", "2.5", 2.5, "2,5"},
        {"Float", "1e3", 1000.0f, "1e39"},
        {"DateTime", "2026-01-15T08:00:00.000Z",
         QDateTime(QDate(2026, 1, 15), QTime(8, 0), Qt::UTC), "15.01.2026"},
    };
    QStringList rows{row(100, "Fresh", "abc", "Int32")};
    for (int i = 0; i < cases.size(); ++i)
        rows << row(i + 1, QStringLiteral("T%1").arg(i), cases[i].good, cases[i].format);
    seed(SQLite, rows);
    m_config["sql_poll_interval_ms"] = 100;
    start();
    QTRY_COMPARE(m_gateway->tagNames().size(), cases.size() + 1);
    for (int i = 0; i < cases.size(); ++i)
        exec(m_writer, QStringLiteral("UPDATE tags SET value = '%1' WHERE id = %2")
                           .arg(cases[i].bad)
                           .arg(i + 1));
    const QString reported = "ERROR Conversion Value for TAG: %1, Value= %2, Format= %3";
    QTRY_COMPARE(m_gateway->logCount(reported.arg("T0", "7.0", "Int32")), 1);
    settle();
    for (int i = 0; i < cases.size(); ++i) {
        const QString name = QStringLiteral("T%1").arg(i);
        const QVariant value = m_client->readValue(QUaNodeId(0, name));
        QVERIFY2(value == cases[i].value, qPrintable(name + ": " + value.toString()));
        QCOMPARE(m_gateway->logCount(reported.arg(name, cases[i].bad, cases[i].format)), 1);
    }
    QCOMPARE(m_gateway->logCount("(SQL)"), 0);

    // A tag made from a row without a valid text waits for one.
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    m_client->readValue(QUaNodeId(0, "Fresh"), &status);
    QCOMPARE(status, UA_STATUSCODE_BADWAITINGFORINITIALDATA);
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Fresh")), QUaNodeId(0, UA_NS0ID_INT32));
    exec(m_writer, "UPDATE tags SET value = '4' WHERE id = 100");
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Fresh"), &status), QVariant(4));
    QCOMPARE(m_gateway->log().filter("(SQL)"),
             QStringList{"[info] Changed Tag[Fresh]=4, Format=Int32 (SQL)"});
}

// Without notifications the table is read again after a statement, so the
// window and the tags follow it.
void TestSync::developerStatementsReportOnDebugOutput()
{
    m_config = sqliteConfig("/store.db");
    start();
    ConsoleCapture::take();
    QStringList console;
    const auto reported = [&console](const QString &statement) {
        console += ConsoleCapture::take();
        return console.filter(statement);
    };
    const QString insert =
        "INSERT INTO tags(id, number, key, value, type, description, format) VALUES ";
    m_gateway->core->fillTagsTable(2);
    QTRY_COMPARE(reported("VALUES ("), QStringList{"debug OK \"" + insert +
                                                   "(1,'1','tag1','1','w','desc','String'), "
                                                   "(2,'2','tag2','2','w','desc','String');\""});
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"tag1", "tag2"}));
    QCOMPARE(columnTexts(m_gateway->model, kKeyColumn), (QStringList{"tag1", "tag2"}));

    m_gateway->core->fillTagsTable(0);
    QTRY_COMPARE(reported("VALUES \""), QStringList{"debug ERROR \"" + insert + "\""});
    m_gateway->core->clearTagsTable();
    QTRY_COMPARE(reported("DELETE"), QStringList{"debug OK \"DELETE FROM tags;\""});
    QTRY_COMPARE(m_gateway->model.rowCount(), 0);
    QCOMPARE(m_gateway->tagNames(), (QStringList{"tag1", "tag2"}));
}

// A write the database refuses is reported once and dropped, the tag goes
// back to the row's value, and the next one lands, also when the refused
// value was written in one batch with others. Then another connection holds the file locked
// for seconds: the server keeps answering, the write waits and lands once the lock is gone, and the
// log says once that the database was unavailable and once that it is back.
void TestSync::refusedWriteIsDroppedAndALockOnlyDelaysTheNext()
{
    seed(SQLite, {row(1, "Pump1", "5", "Int32"), row(2, "Pump2", "0", "Int32"),
                  row(3, "Pump2", "0", "Int32")});
    start(kPumpFileTag);
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Pump2"}));
    exec(m_writer, "CREATE TRIGGER guard BEFORE UPDATE ON tags WHEN NEW.value = '13' "
                   "BEGIN SELECT RAISE(ABORT, 'thirteen refused'); END");
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 13), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(
        m_gateway->logCount("[critical] ERROR SQL Write: TagName= Pump1, thirteen refused"), 1);
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(5));
    QCOMPARE(stored(), QStringLiteral("5,0,0"));
    QCOMPARE(m_gateway->shown(1, kValueColumn), QStringLiteral("5"));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 8), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(stored(), QStringLiteral("8,0,0"));
    QTRY_COMPARE(m_gateway->shown(1, kValueColumn), QStringLiteral("8"));

    QSqlQuery lock(m_writer);
    QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump2"), 13), UA_STATUSCODE_GOOD);
    readsStayFast(3000, 7);
    QTRY_COMPARE(m_gateway->logCount("SQL database unavailable: database is locked"), 1);
    QVERIFY(lock.exec("COMMIT"));
    // Written together, the refused key leaves no transaction open: the other
    // value lands, and so does the next one.
    QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("7,0,0"), 10000);
    QTRY_COMPARE(m_gateway->logCount("ERROR SQL Write: TagName= Pump2"), 1);
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Pump2")), QVariant(0));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump2"), 4), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(stored(), QStringLiteral("7,4,4"));
    QTRY_COMPARE(m_gateway->logCount("[info] SQL database available again"), 1);
    QCOMPARE(m_gateway->logCount("SQL database unavailable"), 1);
    // The stored value is logged on the GUI thread once the store reports it.
    QTRY_COMPARE(
        m_gateway->log().filter("(OPC)"),
        (QStringList{"[info] Changed Tag[Pump1]=8 (OPC)", "[info] Changed Tag[Pump1]=7 (OPC)",
                     "[info] Changed Tag[Pump2]=4 (OPC)", "[info] Changed Tag[Pump2]=4 (OPC)"}));
}

void TestSync::databaseOutageIsSurvived_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("fault");
    const bool sqlServer = !qEnvironmentVariableIsEmpty("GATEWAY_TEST_SQLSERVER_ON_PG");
    const int backend = sqlServer ? SqlServerOnPg : Postgres;
    const char *const prefix = sqlServer ? "SQL Server on PostgreSQL" : "PostgreSQL";
    QTest::addRow("%s, connections terminated", prefix) << backend << int(Terminated);
    QTest::addRow("%s, server restarted", prefix) << backend << int(Restarted);
    QTest::addRow("%s, backend stalled", prefix) << backend << int(Stalled);
}

// Two tags are written on while the database is gone or stalled, and reads are
// answered at once meanwhile; afterwards their last values are in the table,
// and a row changed in SQL reaches a subscribed client again. The log says
// once that a lost database went and once that it is back; a stall shorter
// than the connection's timeouts is no outage.
void TestSync::databaseOutageIsSurvived()
{
    QFETCH(int, backend);
    QFETCH(int, fault);
    seed(backend, kThreeTags);
    start();
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Pump2", "Level"}));
    // A stopped backend leaves the store waiting as a network that stopped
    // moving would.
    const QStringList stalled =
        fault == Stalled ? queryTexts(m_writer, "SELECT pid " + kGatewayBackends) : QStringList();
    const auto signalStalled = [&stalled](int signal) {
        for (const QString &pid : stalled)
            kill(pid.toInt(), signal);
    };
    signalStalled(SIGSTOP);
    const auto resume = qScopeGuard([&] { signalStalled(SIGCONT); });
    if (fault == Terminated)
        exec(m_writer, "SELECT pg_terminate_backend(pid) " + kGatewayBackends);
    else if (fault == Restarted)
        QVERIFY(runClusterScript("pause", m_cluster));
    for (int value = 1; value <= 20; ++value) {
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump2"), 100 + value), UA_STATUSCODE_GOOD);
        readsStayFast(100, value);
    }
    if (fault == Stalled) {
        QCOMPARE(stored(), QStringLiteral("0,0,0"));
        signalStalled(SIGCONT);
    } else if (fault == Restarted) {
        QTRY_COMPARE(m_gateway->logCount("SQL database unavailable"), 1);
        QVERIFY(runClusterScript("resume", m_cluster));
        m_writer.close();
        QVERIFY(m_writer.open());
    }

    QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("20,120,0"), 10000);
    ValueWatcher watcher(*m_client, QUaNodeId(0, "Level"));
    QVERIFY(watcher.waitFor(0));
    exec(m_writer, "UPDATE tags SET value = '9' WHERE id = 3");
    QVERIFY(watcher.waitFor(9, 10000));
    const int outages = fault == Stalled ? 0 : 1;
    QCOMPARE(m_gateway->logCount("[critical] SQL database unavailable"), outages);
    QCOMPARE(m_gateway->logCount("[info] SQL database available again"), outages);
    QCOMPARE(m_gateway->logCount("ERROR SQL Write"), 0);
}

void TestSync::stopsKeepEveryValue_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("stopSignal");
    QTest::addColumn<bool>("databaseAway");
    QTest::newRow("SIGTERM right after a write") << int(SQLite) << SIGTERM << false;
    QTest::newRow("SIGTERM while SQLite is locked") << int(SQLite) << SIGTERM << true;
    QTest::newRow("SIGKILL during a PostgreSQL outage") << int(Postgres) << SIGKILL << true;
}

// A client's Good survives the stop: written before the exit, or kept in the
// journal and written at the next start once the database is there.
void TestSync::stopsKeepEveryValue()
{
    QFETCH(int, backend);
    QFETCH(int, stopSignal);
    QFETCH(bool, databaseAway);
    seed(backend, kThreeTags);
    QTemporaryDir folder;
    // The SQLite path is taken relative to the gateway's folder.
    if (backend == SQLite)
        m_config["database_localpath"] = '/' + QDir(folder.path()).relativeFilePath(m_file);
    GatewayProcess gateway(GATEWAY_EXECUTABLE, folder.path(), m_config, kPumpFileTag);
    gateway.start();
    QTRY_VERIFY_WITH_TIMEOUT(gateway.says("InitSQL - OK!"), 10000);
    TestClient client;
    QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
    QSqlQuery lock(m_writer);
    if (databaseAway && backend == SQLite)
        QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
    else if (databaseAway)
        QVERIFY(runClusterScript("pause", m_cluster));
    QCOMPARE(client.writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    if (stopSignal == SIGKILL)
        QTRY_VERIFY_WITH_TIMEOUT(gateway.says("SQL database unavailable"), 10000);
    client.disconnect();
    gateway.signal(stopSignal);
    QVERIFY(gateway.waitForExit(8000));
    if (stopSignal == SIGTERM) {
        QVERIFY(gateway.exitedCleanly());
        // The last lines may come after the exit is seen; a value the store
        // took before the signal may be written already.
        QTRY_VERIFY(gateway.says(databaseAway
                                     ? "Stopping: 0 values written, 1 kept in the write journal"
                                     : " values written, 0 kept in the write journal"));
    }
    if (!databaseAway) {
        QCOMPARE(stored(), QStringLiteral("7,0,0"));
        return;
    }
    gateway.start();
    if (backend == SQLite) {
        QVERIFY(lock.exec("COMMIT"));
    } else {
        QVERIFY(runClusterScript("resume", m_cluster));
        m_writer.close();
        QVERIFY(m_writer.open());
    }
    QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("7,0,0"), 10000);
    gateway.signal(SIGTERM);
    QVERIFY(gateway.waitForExit(8000));
    QTRY_VERIFY(gateway.says("Stopping: 0 values written, 0 kept in the write journal"));
}

QTEST_MAIN(TestSync)
#include "tst_sync.moc"
