// The tag sync on databases without change notifications (a SQLite file, and
// the ODBC path with the SQLite ODBC driver standing in for SQL Server): the
// rows are loaded once, client writes still land in their rows, and the
// deferred check waits for a burst of client writes to end.
#include "tst_sync_fixture.h"

using namespace SyncFixture;

namespace
{

QString row(int id, const QString &key, const QString &value, const QString &format)
{
    return QStringLiteral("(%1, '%1', '%2', '%3', 'w', 'd', '%4')").arg(id).arg(key, value, format);
}

} // namespace

class TestSyncSqlite : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ConsoleCapture::install(); }
    void cleanup();

    void rowsLoadOnceAndLaterChangesStayInSql_data();
    void rowsLoadOnceAndLaterChangesStayInSql();
    void burstOfClientWritesPostponesTheFirstLoad();
    void rowsPastTheModelsFirstPortionAreSynced();

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

void TestSyncSqlite::cleanup()
{
    m_client.reset();
    m_gateway.reset();
    m_writer.close();
    m_writer = QSqlDatabase();
    QSqlDatabase::removeDatabase("writer");
    QFile::remove(m_file);
}

QJsonObject TestSyncSqlite::seed(const QStringList &rows, bool throughOdbc)
{
    static int count = 0;
    const QString name = QStringLiteral("sync%1.db").arg(++count);
    m_file = QCoreApplication::applicationDirPath() + '/' + name;
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
    return {{"sql_enable", true},
            {"database_type", "SQLLITE"},
            {"database_name", "gateway"},
            {"database_localpath", '/' + name},
            {"Tables", tagsTables()}};
}

void TestSyncSqlite::start(const QJsonObject &config, const QByteArray &tagsJson)
{
    m_gateway = std::make_unique<SyncGateway>(config, tagsJson);
    QVERIFY2(m_gateway->core->m_db.isOpen(), qPrintable(m_gateway->core->m_db.lastError().text()));
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
}

void TestSyncSqlite::rowsLoadOnceAndLaterChangesStayInSql_data()
{
    QTest::addColumn<bool>("throughOdbc");
    QTest::newRow("SQLite") << false;
    QTest::newRow("ODBC") << true;
}

void TestSyncSqlite::rowsLoadOnceAndLaterChangesStayInSql()
{
    QFETCH(bool, throughOdbc);
    if (throughOdbc && qEnvironmentVariableIsEmpty("GATEWAY_TEST_ODBC"))
        QSKIP("GATEWAY_TEST_ODBC is not set: scripts/test.sh registers an ODBC driver as "
              "\"SQL Server\"");
    QElapsedTimer sinceStart;
    sinceStart.start();
    start(seed({row(1, "Pump1", "5", "Int32"), row(2, "Level", "1.5", "Double")}, throughOdbc));
    QTest::qWait(qMax(0, 1700 - int(sinceStart.elapsed())));
    QVERIFY(m_gateway->tagNames().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->tagNames(), (QStringList{"Pump1", "Level"}), 1500);
    QCOMPARE(m_gateway->sqlUpdated, 1);

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(stored(1), QStringLiteral("7"));
    QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Changed Tag[Pump1]=7 (OPC)"));

    // Past the check that the write postponed, a change made elsewhere is
    // still not read.
    exec(m_writer, "UPDATE tags SET value = '2.5' WHERE id = 2");
    QTest::qWait(2500);
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(1.5));
    QVERIFY(m_gateway->log().filter("(SQL)").isEmpty());
    QCOMPARE(m_gateway->log().filter("Added SQL TAG").count(), 2);
    QCOMPARE(m_gateway->sqlUpdated, 2);
}

void TestSyncSqlite::burstOfClientWritesPostponesTheFirstLoad()
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    start(seed({row(1, "Pump1", "0", "Int32"), row(2, "Extra", "3", "Int32")}),
          tagsFile(R"({"TagName": "Pump1", "NodeId": "Pump1", "Format": "Int32", "Value": 0,
                       "WriteAccess": true})"));
    QTimer &check = m_gateway->core->m_checkTimer;
    for (int value = 1; value <= 4; ++value) {
        QTest::qWait(600);
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QVERIFY2(check.remainingTime() > 1800, qPrintable(QString::number(check.remainingTime())));
        QCOMPARE(stored(1), QString::number(value));
    }
    QVERIFY(sinceStart.elapsed() > 2000);
    QCOMPARE(m_gateway->tagNames(), QStringList{"Pump1"});

    QTest::qWait(1600);
    QCOMPARE(m_gateway->tagNames(), QStringList{"Pump1"});
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->tagNames(), (QStringList{"Pump1", "Extra"}), 1500);
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(4));
}

// The model reads a SQLite table in portions of 256 rows; the tags of the
// rows after the first portion are made and written all the same.
void TestSyncSqlite::rowsPastTheModelsFirstPortionAreSynced()
{
    QStringList rows;
    for (int id = 1; id <= 300; ++id)
        rows << row(id, QStringLiteral("tag%1").arg(id), QString::number(id), "Int32");
    start(seed(rows));
    m_gateway->loadNow();
    QCOMPARE(m_gateway->tagNames().count(), 300);
    QCOMPARE(m_client->readValue(QUaNodeId(0, "tag300")), QVariant(300));

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "tag300"), 0), UA_STATUSCODE_GOOD);
    QCOMPARE(stored(300), QStringLiteral("0"));
}

QTEST_MAIN(TestSyncSqlite)
#include "tst_sync_sqlite.moc"
