// The server object over a real loopback connection: start and stop, also from
// inside a stack callback, restart on a new port, a busy port and identity; the
// log bridge, node management by clients and the node ids of type children.

#include <QSignalSpy>
#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaserver.h"
#include "support/testclient.h"

class TestQUaServer : public QObject
{
    Q_OBJECT

private slots:
    void startStopAndPorts();
    void logBridgeMapsLevelsAndCutsLongMessages();
    void nodeManagementAndChildNodeIds();
};

namespace
{

QList<QUaLog> logsOf(const QSignalSpy &spy)
{
    QList<QUaLog> logs;
    for (const QList<QVariant> &arguments : spy) {
        logs << arguments.at(0).value<QUaLog>();
    }
    return logs;
}

} // namespace

void TestQUaServer::startStopAndPorts()
{
    const quint16 firstPort = freeLoopbackPort();
    const quint16 secondPort = freeLoopbackPort();
    QUaServer server;
    server.setPort(firstPort);
    server.setApplicationName(QStringLiteral("OPC-UA <-> SQL Gateway"));
    server.setApplicationUri(QStringLiteral("uri:test:gateway"));
    server.setProductName(QStringLiteral("TEST-PRODUCT"));
    server.setProductUri(QStringLiteral("http://example.test"));
    server.setManufacturerName(QStringLiteral("Test Maker"));
    server.setSoftwareVersion(QStringLiteral("1.0"));
    server.setBuildNumber(QStringLiteral("42"));
    // Writing it stops the server from inside the stack's iteration.
    QUaBaseDataVariable *shutdown =
        server.objectsFolder()->addBaseDataVariable(QUaQualifiedName(1, "Shutdown"));
    shutdown->setWriteAccess(true);
    connect(shutdown, &QUaBaseVariable::valueChanged, &server, &QUaServer::stop);
    QSignalSpy running(&server, &QUaServer::isRunningChanged);
    server.stop(); // not running: nothing to do
    QVERIFY(server.start());
    QVERIFY(server.start());
    QCOMPARE(running.count(), 1);

    // Another server cannot take the busy port, and starts on a free one.
    QUaServer second;
    second.setPort(firstPort);
    QSignalSpy secondRunning(&second, &QUaServer::isRunningChanged);
    QVERIFY(!second.start());
    QVERIFY(!second.isRunning());
    QCOMPARE(secondRunning.count(), 0);
    second.setPort(freeLoopbackPort());
    QVERIFY(second.start());

    server.setPort(secondPort);
    {
        TestClient client;
        QCOMPARE(client.connect(firstPort), UA_STATUSCODE_GOOD); // nothing changed on the wire
    }
    server.stop();
    QVERIFY(!server.isRunning());
    QVERIFY(server.start());
    QCOMPARE(running.count(), 3);
    TestClient onOldPort;
    QVERIFY(onOldPort.connect(firstPort) != UA_STATUSCODE_GOOD);
    TestClient client;
    QCOMPARE(client.connect(secondPort), UA_STATUSCODE_GOOD);
    QCOMPARE(QStringList({client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME),
                          client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTURI),
                          client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_MANUFACTURERNAME),
                          client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_SOFTWAREVERSION),
                          client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_BUILDNUMBER)}),
             QStringList({"TEST-PRODUCT", "http://example.test", "Test Maker", "1.0", "42"}));

    // The advertised application and discovery URL; the old port is gone.
    const QList<UA_EndpointDescription> endpoints = client.endpoints(secondPort);
    QCOMPARE(endpoints.count(), 1);
    UA_EndpointDescription endpoint = endpoints.first();
    QStringList advertised{QUaValueConverter::toQString(endpoint.server.applicationName.text),
                           QUaValueConverter::toQString(endpoint.server.applicationUri)};
    for (size_t i = 0; i < endpoint.server.discoveryUrlsSize; ++i) {
        advertised << QUaValueConverter::toQString(endpoint.server.discoveryUrls[i]);
    }
    UA_EndpointDescription_clear(&endpoint);
    QCOMPARE(advertised.mid(0, 2), QStringList({"OPC-UA <-> SQL Gateway", "uri:test:gateway"}));
    QVERIFY(advertised.size() > 2);
    for (const QString &url : advertised.mid(2)) {
        QVERIFY2(url.endsWith(QStringLiteral(":%1").arg(secondPort)), qPrintable(url));
    }

    QSignalSpy disconnected(&server, &QUaServer::clientDisconnected);
    QCOMPARE(client.writeValue(shutdown->nodeId(), true), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(!server.isRunning());
    QCOMPARE(disconnected.count(), 1);
}

void TestQUaServer::logBridgeMapsLevelsAndCutsLongMessages()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    // A user name far beyond the 1024-byte buffer, in two-byte characters, so
    // that a cut in the middle of a character would show.
    const QString longName(900, QChar(0x0416));
    server.addUser(longName, QStringLiteral("secret"));
    QSignalSpy logs(&server, &QUaServer::logMessage);
    QVERIFY(server.start());
    TestClient client;
    QCOMPARE(client.connectUser(server.port(), longName, QStringLiteral("secret")),
             UA_STATUSCODE_GOOD);

    bool listening = false;
    bool cutUserName = false;
    for (const QUaLog &log : logsOf(logs)) {
        QVERIFY(log.message.size() <= 1023);
        QCOMPARE(log.timestamp.timeSpec(), Qt::UTC);
        const QString text = QString::fromUtf8(log.message);
        QCOMPARE(text.toUtf8(), log.message); // never ends inside a UTF-8 sequence
        if (text.contains(QStringLiteral("Listening"))) {
            listening =
                log.level == QUa::LogLevel::Info && log.category == QUa::LogCategory::Network;
        }
        cutUserName = cutUserName || text.contains(QString(100, QChar(0x0416)));
    }
    QVERIFY(listening);
    QVERIFY(cutUserName);
}

// Children of instances that clients add get ids computed from the parent's,
// or from the application's callback, and a free one when that is taken.
void TestQUaServer::nodeManagementAndChildNodeIds()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QUaFolderObject *folder = server.objectsFolder()->addFolderObject(
        QUaQualifiedName(1, "Machines"), QUaNodeId(1, quint32(5000)));
    const quint32 nameHash = qHash(QByteArray("CurrentState"), 0);
    // The id computed for the second machine's CurrentState is taken already:
    // the search must move on to a free one instead of going round in circles.
    const quint32 secondParent = 7000;
    QVERIFY(folder->addBaseObject(QUaQualifiedName(1, "Occupier"),
                                  QUaNodeId(1, secondParent ^ nameHash)));
    QSignalSpy logs(&server, &QUaServer::logMessage);
    QVERIFY(server.start());

    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    auto addMachine = [&client, folder](quint32 id) {
        return client.addObject(folder->nodeId(), QUaNodeId(1, id),
                                QUaQualifiedName(1, QStringLiteral("M%1").arg(id)),
                                QUaNodeId(0, UA_NS0ID_STATEMACHINETYPE));
    };
    auto childId = [&client](quint32 parentId) {
        for (const TestClient::Reference &ref : client.browse(QUaNodeId(1, parentId))) {
            if (ref.browseName.name() == QLatin1String("CurrentState")) {
                return ref.targetId;
            }
        }
        return QUaNodeId();
    };
    QCOMPARE(addMachine(6000), UA_STATUSCODE_BADUSERACCESSDENIED);
    server.setNodeManagementAllowed(true);
    QCOMPARE(addMachine(6000), UA_STATUSCODE_GOOD);
    QCOMPARE(addMachine(secondParent), UA_STATUSCODE_GOOD);
    const QUaNodeId firstChild = childId(6000);
    const QUaNodeId secondChild = childId(secondParent);
    QCOMPARE(firstChild.numericId(), quint32(6000) ^ nameHash);
    QVERIFY(!secondChild.isNull());
    QVERIFY(secondChild != firstChild);
    QVERIFY(secondChild.numericId() != (secondParent ^ nameHash));

    server.setChildNodeIdCallback([](const QUaNodeId &parentId, const QUaQualifiedName &name) {
        if (parentId == QUaNodeId(1, quint32(6001))) {
            return QUaNodeId(1, QStringLiteral("Machine.%1").arg(name.name()));
        }
        if (parentId == QUaNodeId(1, quint32(6002))) {
            return QUaNodeId(0, UA_NS0ID_SERVER); // in use
        }
        return QUaNodeId();
    });
    for (quint32 id : {6001u, 6002u, 6003u}) {
        QCOMPARE(addMachine(id), UA_STATUSCODE_GOOD);
    }
    QCOMPARE(childId(6001), QUaNodeId(1, QStringLiteral("Machine.CurrentState")));
    QStringList userLandErrors;
    for (const QUaLog &log : logsOf(logs)) {
        if (log.category == QUa::LogCategory::UserLand && log.level == QUa::LogLevel::Error) {
            userLandErrors << QString::fromUtf8(log.message);
        }
    }
    for (quint32 parent : {6002u, 6003u}) {
        QVERIFY(userLandErrors.contains(
            QStringLiteral("Child ns=0;s=CurrentState nodeId for parent ns=1;i=%1 is %2. "
                           "Assigning random nodeId.")
                .arg(parent)
                .arg(parent == 6002u ? "already in use" : "null")));
    }
}

QTEST_GUILESS_MAIN(TestQUaServer)
#include "tst_quaserver.moc"
