// The tag store on databases without change notifications (SQLite files, and
// the ODBC path with the SQLite ODBC driver standing in for SQL Server), with a
// real client over loopback: opening and the configured tables, the first load,
// client writes, polling, a locked database, refused writes, the developer
// statements, and the window's model of the rows.
#include "support/syncfixture.h"

#include <QTemporaryDir>

using namespace SyncFixture;

namespace
{

QString row(int id, const QString &key, const QString &value, const QString &format)
{
    return QStringLiteral("(%1, '%1', '%2', '%3', 'w', 'd', '%4')").arg(id).arg(key, value, format);
}

QString appFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + name;
}

QJsonObject sqliteConfig(const QString &localPath, const QJsonArray &tables = tagsTables())
{
    return {{"sql_enable", true},
            {"database_type", "SQLLITE"},
            {"database_name", "store"},
            {"database_localpath", localPath},
            {"Tables", tables}};
}

const QStringList kRefusedTriggers = {"[critical] InitSQL insert_tags_notf - ERROR!",
                                      "[critical] InitSQL update_tags_notf - ERROR!",
                                      "[critical] InitSQL delete_tags_notf - ERROR!"};
const QString kOk = QStringLiteral("[info] InitSQL - OK!");

const QByteArray kPumpFileTag = tagsFile(R"({"TagName": "Pump1", "NodeId": "Pump1",
    "Format": "Int32", "Value": 0, "WriteAccess": true})");

TagRow tagRow(qint64 id, const QString &number, const QString &key)
{
    TagRow row;
    row.id = id;
    row.number = number;
    row.key = key;
    return row;
}

QStringList keysShown(const MySqlTableModelResult &model)
{
    QStringList keys;
    for (int r = 0; r < model.rowCount(); ++r)
        keys << model.index(r, kKeyColumn).data().toString();
    return keys;
}

} // namespace

class TestTagStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ConsoleCapture::install(); }
    void cleanup();

    void unopenedDatabaseLeavesTheGatewayInert_data();
    void unopenedDatabaseLeavesTheGatewayInert();
    void tablesGetTheirExactTextAndTriggersAreRefused();
    void odbcConnectionStringIsExact_data();
    void odbcConnectionStringIsExact();
    void firstLoadComesWhileAClientWritesEverySecond_data();
    void firstLoadComesWhileAClientWritesEverySecond();
    void pollingBringsSqlChangesToClients();
    void lockedDatabaseDelaysTheWriteWithoutStallingTheServer();
    void refusedWriteIsReportedOnceAndDropped();
    void rowTextsBecomeValuesOnlyWhenExact();
    void developerStatementsReportOnDebugOutput();
    void modelKeepsTheRowsInOrder();

private:
    // A SQLite file with the tags table and rows; the sql.json that reaches it
    // directly or through ODBC.
    QJsonObject seed(const QStringList &rows, bool throughOdbc = false);
    void start(const QJsonObject &config, const QByteArray &tagsJson = tagsFile());
    QString stored(int id) { return storedValue(m_writer, id); }

    QString m_file;
    QSqlDatabase m_writer;
    std::unique_ptr<SyncGateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

void TestTagStore::cleanup()
{
    m_client.reset();
    m_gateway.reset();
    m_writer.close();
    m_writer = QSqlDatabase();
    QSqlDatabase::removeDatabase("writer");
    for (const QString &file : {m_file, appFile("/store.db")})
        QFile::remove(file);
}

QJsonObject TestTagStore::seed(const QStringList &rows, bool throughOdbc)
{
    static int count = 0;
    const QString name = QStringLiteral("sync%1.db").arg(++count);
    m_file = appFile('/' + name);
    QFile::remove(m_file);
    m_writer = QSqlDatabase::addDatabase("QSQLITE", "writer");
    m_writer.setDatabaseName(m_file);
    m_writer.open();
    exec(m_writer, kCreateTags);
    exec(m_writer, "INSERT INTO tags VALUES " + rows.join(", "));
    if (throughOdbc)
        return {{"sql_enable", true},
                {"database_type", "MSSQL"},
                {"database_name", m_file},
                {"database_path", "localhost"},
                {"Tables", tagsTables()}};
    return sqliteConfig('/' + name);
}

void TestTagStore::start(const QJsonObject &config, const QByteArray &tagsJson)
{
    m_gateway = std::make_unique<SyncGateway>(config, tagsJson);
    QTRY_VERIFY(m_gateway->log().contains(kOk));
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
}

void TestTagStore::unopenedDatabaseLeavesTheGatewayInert_data()
{
    QTest::addColumn<QJsonObject>("config");
    QTest::addColumn<QString>("line");
    QJsonObject disabled = sqliteConfig("/store.db");
    disabled["sql_enable"] = false;
    QJsonObject misspelled = sqliteConfig("/store.db");
    misspelled["database_type"] = "SQLite";
    QTest::newRow("disabled") << disabled << "[info] InitSQL - DISABLE!";
    QTest::newRow("type spelled SQLite")
        << misspelled << "[critical] InitSQL - ERROR! DataBase NOT Open!";
    QTest::newRow("file in a missing folder") << sqliteConfig("/no/such/folder/store.db")
                                              << "[critical] InitSQL - ERROR! DataBase NOT Open!";
}

// The OPC UA side serves alone; a database that may still appear is tried
// again without a line per attempt.
void TestTagStore::unopenedDatabaseLeavesTheGatewayInert()
{
    QFETCH(QJsonObject, config);
    QFETCH(QString, line);
    SyncGateway gateway(config, kPumpFileTag);
    QTRY_VERIFY(!gateway.log().isEmpty());
    QTest::qWait(1500);
    QCOMPARE(gateway.log().filter("InitSQL"), QStringList{line});
    TestClient client;
    QCOMPARE(client.connect(gateway.port), UA_STATUSCODE_GOOD);
    QCOMPARE(client.writeValue(QUaNodeId(0, "Pump1"), 3), UA_STATUSCODE_GOOD);
    QVERIFY(!QFile::exists(appFile("/store.db")));
}

void TestTagStore::tablesGetTheirExactTextAndTriggersAreRefused()
{
    QJsonObject table = QJsonDocument::fromJson(R"({"TableName": "tags", "PrimaryKey": "id",
        "Columns": [{"Name": "id", "Type": "INTEGER", "AutoIncrement": "", "Null": "NOT NULL"},
                    {"Name": "key", "Type": "TEXT", "AutoIncrement": "", "Null": ""}]})")
                            .object();
    QJsonObject events = table;
    events["TableName"] = "events";
    events.remove("PrimaryKey");
    const QJsonObject config = sqliteConfig("/store.db", {table, events});
    const QStringList expectedLog = kRefusedTriggers + kRefusedTriggers + QStringList{kOk};
    // A later start finds the tables in place and says nothing more about them.
    for (int startCount = 1; startCount <= 2; ++startCount) {
        ConsoleCapture::take();
        SyncGateway gateway(config);
        QTRY_COMPARE(gateway.log().filter("InitSQL"), expectedLog);
        const QStringList console = ConsoleCapture::take().filter("insert_tags_notf");
        QVERIFY2(
            console.first().contains("InitSQL insert_tags_notf - ERROR! (internal_functions") &&
                console.first().contains(", void cInternalFunctions::InitSQL())"),
            qPrintable(console.first()));
    }
    QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "writer");
    reader.setDatabaseName(appFile("/store.db"));
    QVERIFY(reader.open());
    QSqlQuery texts("SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name", reader);
    QStringList found;
    while (texts.next())
        found << texts.value(0).toString();
    QCOMPARE(found, QStringList({"CREATE TABLE events (id INTEGER  NOT NULL, key TEXT   )",
                                 "CREATE TABLE tags (id INTEGER  NOT NULL, key TEXT   ,PRIMARY "
                                 "KEY (id ))"}));
}

void TestTagStore::odbcConnectionStringIsExact_data()
{
    QTest::addColumn<QStringList>("values"); // server, database, user, password
    QTest::addColumn<QString>("expected");
    QTest::newRow("all empty") << QStringList{"", "", "", ""}
                               << "DRIVER={SQL Server};SERVER=;DATABASE=;UID=;PWD=;WSID=.";
    QTest::newRow("empty password")
        << QStringList{"plant-sql\\SCADA", "plant.db", "sa", ""}
        << "DRIVER={SQL Server};SERVER=plant-sql\\SCADA;DATABASE=plant.db;UID=sa;PWD=;WSID=.";
    QTest::newRow("semicolon cannot add keywords")
        << QStringList{"srv;DATABASE=other.db", "plant.db", "sa", "pw;UID=admin"}
        << "DRIVER={SQL Server};SERVER={srv;DATABASE=other.db};DATABASE=plant.db;UID=sa;"
           "PWD={pw;UID=admin};WSID=.";
    QTest::newRow("braces are quoted")
        << QStringList{"srv", "plant.db", "{sa}", "p}w"}
        << "DRIVER={SQL Server};SERVER=srv;DATABASE=plant.db;UID={{sa}}};PWD={p}}w};WSID=.";
}

void TestTagStore::odbcConnectionStringIsExact()
{
    QFETCH(QStringList, values);
    QFETCH(QString, expected);
    QCOMPARE(TagStore::odbcConnectionString({{"database_path", values[0]},
                                             {"database_name", values[1]},
                                             {"database_user", values[2]},
                                             {"database_password", values[3]}}),
             expected);
}

void TestTagStore::firstLoadComesWhileAClientWritesEverySecond_data()
{
    QTest::addColumn<bool>("throughOdbc");
    QTest::newRow("SQLite") << false;
    QTest::newRow("ODBC") << true;
}

// The rows become tags two seconds after the start however busy the clients
// are; every write lands in its row; later changes in SQL stay there.
void TestTagStore::firstLoadComesWhileAClientWritesEverySecond()
{
    QFETCH(bool, throughOdbc);
    if (throughOdbc && qEnvironmentVariableIsEmpty("GATEWAY_TEST_ODBC"))
        QFAIL("GATEWAY_TEST_ODBC is not set: scripts/test.sh registers an ODBC driver as "
              "\"SQL Server\"");
    QElapsedTimer sinceStart;
    sinceStart.start();
    start(seed({row(1, "Pump1", "0", "Int32"), row(2, "Extra", "3", "Int32"),
                row(3, "Level", "1.5", "Double")},
               throughOdbc),
          kPumpFileTag);
    for (int value = 1; value <= 4; ++value) {
        QTest::qWait(600);
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QTRY_COMPARE(stored(1), QString::number(value));
        if (sinceStart.elapsed() < 1800)
            QCOMPARE(m_gateway->tagNames(), QStringList{"Pump1"});
    }
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Extra", "Level"}));
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(4));
    QTRY_COMPARE(m_gateway->logCount("(OPC)"), 4);
    QCOMPARE(m_gateway->log().filter("InitSQL").mid(0, 3), kRefusedTriggers);

    exec(m_writer, "UPDATE tags SET value = '2.5' WHERE id = 3");
    QTest::qWait(1000);
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(1.5));
    QCOMPARE(m_gateway->logCount("(SQL)"), 0);
}

void TestTagStore::pollingBringsSqlChangesToClients()
{
    QJsonObject config = seed({row(1, "Level", "5", "Int32"), row(2, "Mode", "a", "String")});
    config["sql_poll_interval_ms"] = 200;
    start(config);
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Level", "Mode"}));
    ValueWatcher watcher(*m_client, QUaNodeId(0, "Level"));
    QCOMPARE(watcher.status(), UA_STATUSCODE_GOOD);
    QVERIFY(watcher.waitFor(5));

    exec(m_writer, "UPDATE tags SET value = '6' WHERE id = 1");
    QVERIFY(watcher.waitFor(6, 2 * 200 + 300));
    QCOMPARE(m_gateway->log().filter("(SQL)"),
             QStringList{"[info] Changed Tag[Level]=6, Format=Int32 (SQL)"});

    // A long value is shortened in the log, not in the table.
    const QString wide(5000, QLatin1Char('w'));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Mode"), wide), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(
        m_gateway->log().filter("(OPC)"),
        QStringList{"[info] Changed Tag[Mode]=" + wide.left(256) + "... (5000 characters) (OPC)"});
    QCOMPARE(stored(2), wide);

    // A new row becomes a tag; a removed one leaves the window, not the server.
    exec(m_writer, "INSERT INTO tags VALUES " + row(3, "Valve1", "true", "Boolean"));
    exec(m_writer, "DELETE FROM tags WHERE id = 2");
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Level", "Mode", "Valve1"}));
    QTRY_COMPARE(keysShown(m_gateway->model), (QStringList{"Level", "Valve1"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Valve1")), QVariant(true));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Mode")), QVariant(wide));
    QCOMPARE(m_gateway->logCount("(SQL)"), 1);
}

// Another connection holds the file locked for seconds: the server keeps
// answering, the write waits and lands once the lock is gone, and the log says
// once that the database was unavailable and once that it is back.
void TestTagStore::lockedDatabaseDelaysTheWriteWithoutStallingTheServer()
{
    start(seed({row(1, "Pump1", "0", "Int32")}), kPumpFileTag);
    QSqlQuery lock(m_writer);
    QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QElapsedTimer locked;
    locked.start();
    qint64 longestRead = 0;
    while (!locked.hasExpired(3000)) {
        QElapsedTimer read;
        read.start();
        QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(7));
        longestRead = qMax(longestRead, read.elapsed());
        QTest::qWait(50);
    }
    QVERIFY2(longestRead < 500, qPrintable(QString::number(longestRead)));
    QTRY_COMPARE(m_gateway->logCount("SQL database unavailable: database is locked"), 1);
    QVERIFY(lock.exec("COMMIT"));

    QTRY_COMPARE_WITH_TIMEOUT(stored(1), QStringLiteral("7"), 10000);
    QTRY_COMPARE(m_gateway->logCount("[info] SQL database available again"), 1);
    QCOMPARE(m_gateway->logCount("SQL database unavailable"), 1);
    QCOMPARE(m_gateway->log().filter("(OPC)"), QStringList{"[info] Changed Tag[Pump1]=7 (OPC)"});
}

void TestTagStore::refusedWriteIsReportedOnceAndDropped()
{
    start(seed({row(1, "Pump1", "5", "Int32")}), kPumpFileTag);
    exec(m_writer, "CREATE TRIGGER guard BEFORE UPDATE ON tags WHEN NEW.value = '13' "
                   "BEGIN SELECT RAISE(ABORT, 'thirteen refused'); END");
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 13), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(m_gateway->logCount("ERROR SQL Write"), 1);
    const QString refused = m_gateway->log().filter("ERROR SQL Write").first();
    QVERIFY2(refused.startsWith("[critical] ERROR SQL Write: TagName= Pump1, ") &&
                 refused.contains("thirteen refused"),
             qPrintable(refused));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(13));
    QCOMPARE(stored(1), QStringLiteral("5"));
    QCOMPARE(m_gateway->shown(1, kValueColumn), QStringLiteral("5"));

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 8), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(stored(1), QStringLiteral("8"));
    QTRY_COMPARE(m_gateway->shown(1, kValueColumn), QStringLiteral("8"));
    QCOMPARE(m_gateway->logCount("ERROR SQL Write"), 1);
    QCOMPARE(m_gateway->log().filter("(OPC)"), QStringList{"[info] Changed Tag[Pump1]=8 (OPC)"});
}

// Each case is a row whose first text converts exactly to its Format and whose
// second does not: the tag keeps the first value, and the row is reported once.
void TestTagStore::rowTextsBecomeValuesOnlyWhenExact()
{
    struct Case {
        const char *format;
        const char *good;
        QVariant value;
        const char *bad;
    };
    const QList<Case> cases = {
        {"Int32", " 12 ", 12, "7.0"},
        {"Int32", "-5", -5, "abc"},
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
    QJsonObject config = seed(rows);
    config["sql_poll_interval_ms"] = 100;
    start(config);
    QTRY_COMPARE(m_gateway->tagNames().size(), cases.size() + 1);
    for (int i = 0; i < cases.size(); ++i) {
        exec(m_writer, QStringLiteral("UPDATE tags SET value = '%1' WHERE id = %2")
                           .arg(cases[i].bad)
                           .arg(i + 1));
    }
    const QString tagT0 = QStringLiteral("ERROR Conversion Value for TAG: T0, Value= 7.0");
    QTRY_COMPARE(m_gateway->logCount(tagT0), 1);
    QTest::qWait(300);
    for (int i = 0; i < cases.size(); ++i) {
        const QString name = QStringLiteral("T%1").arg(i);
        const QVariant value = m_client->readValue(QUaNodeId(0, name));
        QVERIFY2(value == cases[i].value, qPrintable(name + ": " + value.toString()));
        QCOMPARE(
            m_gateway->logCount(QStringLiteral("ERROR Conversion Value for TAG: %1, Value= %2, "
                                               "Format= %3")
                                    .arg(name, cases[i].bad, cases[i].format)),
            1);
    }
    QCOMPARE(m_gateway->logCount("(SQL)"), 0);

    // A tag made from a row without a valid text waits for one.
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    m_client->readValue(QUaNodeId(0, "Fresh"), &status);
    QCOMPARE(status, UA_STATUSCODE_BADWAITINGFORINITIALDATA);
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Fresh")), QUaNodeId(0, UA_NS0ID_INT32));
    exec(m_writer, "UPDATE tags SET value = '4' WHERE id = 100");
    QTRY_COMPARE(m_client->readValue(QUaNodeId(0, "Fresh"), &status), QVariant(4));
    QCOMPARE(status, UA_STATUSCODE_GOOD);
    QCOMPARE(m_gateway->log().filter("(SQL)"),
             QStringList{"[info] Changed Tag[Fresh]=4, Format=Int32 (SQL)"});
}

// Without notifications the table is read again after a statement, so the
// window and the tags follow it.
void TestTagStore::developerStatementsReportOnDebugOutput()
{
    start(sqliteConfig("/store.db"));
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
    QCOMPARE(keysShown(m_gateway->model), (QStringList{"tag1", "tag2"}));
    QCOMPARE(m_gateway->shown(2, kFormatColumn), QStringLiteral("String"));

    m_gateway->core->fillTagsTable(0);
    QTRY_COMPARE(reported("VALUES \""), QStringList{"debug ERROR \"" + insert + "\""});
    m_gateway->core->clearTagsTable();
    QTRY_COMPARE(reported("DELETE"), QStringList{"debug OK \"DELETE FROM tags;\""});
    QTRY_COMPARE(m_gateway->model.rowCount(), 0);
    QCOMPARE(m_gateway->tagNames(), (QStringList{"tag1", "tag2"}));
}

// Rows arrive in any order, one by one or in bulk; the model keeps them in
// the view's order, moves a row whose sort cell changed, and answers every
// cell centred and black.
void TestTagStore::modelKeepsTheRowsInOrder()
{
    MySqlTableModelResult model;
    model.sort(kNumberColumn);
    model.applyRows({tagRow(1, "3", "C"), tagRow(2, "1", "A")});
    model.applyRows({tagRow(3, "2", "B")});
    QCOMPARE(keysShown(model), (QStringList{"A", "B", "C"}));
    model.applyRows({tagRow(2, "4", "A")});
    QCOMPARE(keysShown(model), (QStringList{"B", "C", "A"}));
    TagRows bulk;
    for (int id = 10; id < 30; ++id)
        bulk << tagRow(id, "0", QStringLiteral("N%1").arg(id));
    model.applyRows(bulk);
    QCOMPARE(model.rowCount(), 23);
    QCOMPARE(model.rowOfId(3), 20);
    model.removeRowsById({3, 10});
    QCOMPARE(model.rowCount(), 21);
    QCOMPARE(model.idOfRow(0), qint64(11));
    model.sort(kIdColumn, Qt::DescendingOrder);
    QCOMPARE(model.idOfRow(0), qint64(29));

    const QModelIndex cell = model.index(1, kKeyColumn);
    QCOMPARE(model.data(cell, Qt::TextAlignmentRole).toInt(), 0x84);
    QCOMPARE(model.data(cell, Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::black));
    QVariant key;
    QVERIFY(QMetaObject::invokeMethod(&model, "data", Q_RETURN_ARG(QVariant, key),
                                      Q_ARG(QModelIndex, cell)));
    QCOMPARE(key.toString(), QStringLiteral("N28"));
    QCOMPARE(model.headerData(kDescriptionColumn, Qt::Horizontal).toString(),
             QStringLiteral("description"));
}

QTEST_MAIN(TestTagStore)
#include "tst_tagstore.moc"
