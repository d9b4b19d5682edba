// The tag sync through database faults, on a PostgreSQL cluster of this test's
// own (it is stopped and started under the gateway) with real clients: lost
// connections and a restarted server, a server that comes up after the
// gateway, and a stalled network to the database.
#include "support/pgtestdb.h"
#include "support/syncfixture.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace SyncFixture;

namespace
{

using TestPostgres::connectTo;

// Runs the cluster script; its "export NAME=value" lines become this
// process's environment, so the shared PostgreSQL helpers reach the cluster.
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

// Forwards loopback connections to a port; while stalled it takes what either
// side sends and passes nothing on, as a network that stopped moving would.
class StallingProxy : public QObject
{
public:
    explicit StallingProxy(quint16 target) : m_target(target)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                pass(client);
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    void setStalled(bool stalled)
    {
        m_stalled = stalled;
        for (const auto &[client, server] : m_pairs) {
            forward(client, server);
            forward(server, client);
        }
    }

private:
    void pass(QTcpSocket *client)
    {
        auto *server = new QTcpSocket(client);
        server->connectToHost(QHostAddress::LocalHost, m_target);
        connect(client, &QTcpSocket::readyRead, this, [=] { forward(client, server); });
        connect(server, &QTcpSocket::readyRead, this, [=] { forward(server, client); });
        connect(client, &QTcpSocket::disconnected, server, &QTcpSocket::disconnectFromHost);
        connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        m_pairs.append(qMakePair(QPointer<QTcpSocket>(client), QPointer<QTcpSocket>(server)));
    }
    void forward(QTcpSocket *from, QTcpSocket *to)
    {
        if (!m_stalled && from && to)
            to->write(from->readAll());
    }

    QTcpServer m_server;
    quint16 m_target;
    bool m_stalled = false;
    QList<QPair<QPointer<QTcpSocket>, QPointer<QTcpSocket>>> m_pairs;
};

const char kRows[] = "INSERT INTO tags VALUES (1, '1', 'Pump1', '0', 'w', 'd', 'Int32'), "
                     "(2, '2', 'Pump2', '0', 'w', 'd', 'Int32'), "
                     "(3, '3', 'Level', '0', 'w', 'd', 'Int32')";

} // namespace

class TestSqlFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void lostConnectionIsSurvived_data();
    void lostConnectionIsSurvived();
    void databaseStartedAfterTheGateway();
    void stalledDatabaseKeepsTheServerAnswering();

private:
    void startGateway(quint16 databasePort);
    QString stored(int id) { return storedValue(m_writer, id); }
    bool reopenWriter();

    QTemporaryDir m_clusterParent;
    QString m_cluster;
    QString m_database;
    QSqlDatabase m_writer;
    std::unique_ptr<SyncGateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

void TestSqlFaults::initTestCase()
{
    ConsoleCapture::install();
    // The cluster's owner is another user when the suite runs as root.
    QFile::setPermissions(m_clusterParent.path(), QFile::permissions(m_clusterParent.path()) |
                                                      QFile::ReadOther | QFile::ExeOther);
    m_cluster = m_clusterParent.filePath("pg");
    QVERIFY2(runClusterScript("start", m_cluster), "the test's PostgreSQL cluster did not start");
    const QString error = TestPostgres::createOwnDatabase("gateway_faults", m_database);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestSqlFaults::cleanupTestCase()
{
    runClusterScript("stop", m_cluster);
}

void TestSqlFaults::init()
{
    QVERIFY(reopenWriter());
    exec(m_writer, "DROP TABLE IF EXISTS tags");
    exec(m_writer, kCreateTags);
    exec(m_writer, kRows);
}

void TestSqlFaults::cleanup()
{
    m_client.reset();
    m_gateway.reset();
}

bool TestSqlFaults::reopenWriter()
{
    m_writer.close();
    m_writer = connectTo("writer", m_database);
    return m_writer.isOpen();
}

void TestSqlFaults::startGateway(quint16 databasePort)
{
    QJsonObject config = TestPostgres::sqlConfig(m_database);
    config["database_port"] = databasePort;
    m_gateway = std::make_unique<SyncGateway>(config);
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
}

void TestSqlFaults::lostConnectionIsSurvived_data()
{
    QTest::addColumn<bool>("restartServer");
    QTest::newRow("connections terminated") << false;
    QTest::newRow("server restarted") << true;
}

// Clients go on writing while the database is gone; afterwards the last
// values are in the table, a row changed in SQL reaches a subscribed client
// again, and the log says once that the database went and once that it is back.
void TestSqlFaults::lostConnectionIsSurvived()
{
    QFETCH(bool, restartServer);
    startGateway(qEnvironmentVariable("GATEWAY_TEST_PG_PORT").toUShort());
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Pump2", "Level"}));
    TestClient second;
    QCOMPARE(second.connect(m_gateway->port), UA_STATUSCODE_GOOD);

    if (restartServer)
        QVERIFY(runClusterScript("pause", m_cluster));
    else
        exec(m_writer, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                       "datname = current_database() AND pid <> pg_backend_pid()");
    for (int value = 1; value <= 20; ++value) {
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QCOMPARE(second.writeValue(QUaNodeId(0, "Pump2"), 100 + value), UA_STATUSCODE_GOOD);
        QTest::qWait(100);
    }
    if (restartServer) {
        QTRY_COMPARE(m_gateway->logCount("SQL database unavailable"), 1);
        QVERIFY(runClusterScript("resume", m_cluster));
        QVERIFY(reopenWriter());
    }

    QTRY_COMPARE_WITH_TIMEOUT(stored(1), QStringLiteral("20"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(stored(2), QStringLiteral("120"), 1000);
    ValueWatcher watcher(*m_client, QUaNodeId(0, "Level"));
    QVERIFY(watcher.waitFor(0));
    exec(m_writer, "UPDATE tags SET value = '9' WHERE id = 3");
    QVERIFY(watcher.waitFor(9, 10000));
    QCOMPARE(m_gateway->logCount("[critical] SQL database unavailable"), 1);
    QCOMPARE(m_gateway->logCount("[info] SQL database available again"), 1);
    QCOMPARE(m_gateway->logCount("ERROR SQL Write"), 0);
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(20));
}

// The OPC UA side serves at once; the rows become tags once the server is up.
void TestSqlFaults::databaseStartedAfterTheGateway()
{
    m_writer.close();
    QVERIFY(runClusterScript("pause", m_cluster));
    startGateway(qEnvironmentVariable("GATEWAY_TEST_PG_PORT").toUShort());
    QTRY_COMPARE(m_gateway->log().filter("InitSQL"),
                 QStringList{"[critical] InitSQL - ERROR! DataBase NOT Open!"});
    QCOMPARE(m_client->readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME),
             QStringLiteral("VH-TAGBRIDGE"));
    QTest::qWait(1500);
    QVERIFY(runClusterScript("resume", m_cluster));
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->tagNames(), (QStringList{"Pump1", "Pump2", "Level"}),
                              10000);
    QCOMPARE(
        m_gateway->log().filter("InitSQL"),
        (QStringList{"[critical] InitSQL - ERROR! DataBase NOT Open!", "[info] InitSQL - OK!"}));
}

// The store waits for the database on its own thread: the server keeps
// answering, and the write lands once the network moves again.
void TestSqlFaults::stalledDatabaseKeepsTheServerAnswering()
{
    StallingProxy proxy(qEnvironmentVariable("GATEWAY_TEST_PG_PORT").toUShort());
    startGateway(proxy.port());
    QTRY_COMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Pump2", "Level"}));
    proxy.setStalled(true);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 5), UA_STATUSCODE_GOOD);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump2"), 6), UA_STATUSCODE_GOOD);
    QElapsedTimer stalled;
    stalled.start();
    qint64 longestRead = 0;
    while (!stalled.hasExpired(2500)) {
        QElapsedTimer read;
        read.start();
        QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(5));
        longestRead = qMax(longestRead, read.elapsed());
        QTest::qWait(50);
    }
    QVERIFY2(longestRead < 500, qPrintable(QString::number(longestRead)));
    QCOMPARE(stored(1), QStringLiteral("0"));
    proxy.setStalled(false);
    QTRY_COMPARE_WITH_TIMEOUT(stored(1), QStringLiteral("5"), 5000);
    QTRY_COMPARE(stored(2), QStringLiteral("6"));
}

QTEST_MAIN(TestSqlFaults)
#include "tst_sql_faults.moc"
