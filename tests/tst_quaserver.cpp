// The server object over a real loopback connection: defaults, start and stop,
// restart on a new port, identity, logins, sessions at stop, the log bridge
// and the node ids of type children.

#include <QSignalSpy>
#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaserver.h"
#include "quasession.h"
#include "support/testclient.h"

class TestQUaServer : public QObject
{
    Q_OBJECT

private slots:
    void freshServerHasStackDefaults();
    void startTwiceConnectsOnce();
    void stopWhenStoppedDoesNothing();
    void restartServesTheNewPort();
    void portInUseFailsStart();
    void identityAndTokenPoliciesReachClients();
    void anonymousLoginCanBeRefused();
    void stopClosesEverySession();
    void stopFromInsideAStackCallbackWaitsForTheIteration();
    void logBridgeMapsLevelsAndCutsLongMessages();
    void typeChildrenGetFreeComputedIds();
    void childNodeIdCallbackIsCheckedAndLogged();
};

namespace
{

QStringList tokenPolicyIds(const UA_EndpointDescription &endpoint)
{
    QStringList ids;
    for (size_t i = 0; i < endpoint.userIdentityTokensSize; ++i) {
        const UA_String &id = endpoint.userIdentityTokens[i].policyId;
        ids << QString::fromUtf8(reinterpret_cast<const char *>(id.data), int(id.length));
    }
    return ids;
}

QList<QUaLog> logsOf(const QSignalSpy &spy)
{
    QList<QUaLog> logs;
    for (const QList<QVariant> &arguments : spy) {
        logs << arguments.at(0).value<QUaLog>();
    }
    return logs;
}

} // namespace

void TestQUaServer::freshServerHasStackDefaults()
{
    QUaServer server;
    QCOMPARE(server.port(), quint16(4840));
    QVERIFY(server.anonymousLoginAllowed());
    QVERIFY(server.certificate().isEmpty());
    QVERIFY(!server.isRunning());
    QCOMPARE(server.applicationName(), QStringLiteral("open62541-based OPC UA Application"));
    QCOMPARE(server.manufacturerName(), QStringLiteral("open62541"));
    QVERIFY(server.maxSessions() > 0);
    QVERIFY(server.maxSecureChannels() > 0);

    QUaFolderObject *objects = server.objectsFolder();
    QVERIFY(objects);
    QCOMPARE(objects->objectName(), QStringLiteral("Objects"));
    QCOMPARE(objects->parent(), &server);
    QCOMPARE(objects->nodeId(), QUaNodeId(0, UA_NS0ID_OBJECTSFOLDER));
    QCOMPARE(server.nodeById(QUaNodeId(0, UA_NS0ID_OBJECTSFOLDER)), objects);
    // The Server object carries no node object.
    QVERIFY(!server.nodeById(QUaNodeId(0, UA_NS0ID_SERVER)));
    QVERIFY(!server.nodeById(QUaNodeId(1, "nowhere")));
}

void TestQUaServer::startTwiceConnectsOnce()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QSignalSpy running(&server, &QUaServer::isRunningChanged);
    QVERIFY(server.start());
    QVERIFY(server.start());
    QCOMPARE(running.count(), 1);
    QVERIFY(server.isRunning());

    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_MANUFACTURERNAME),
             QStringLiteral("open62541"));
}

void TestQUaServer::stopWhenStoppedDoesNothing()
{
    QUaServer server;
    QSignalSpy running(&server, &QUaServer::isRunningChanged);
    server.stop();
    server.setIsRunning(false);
    QCOMPARE(running.count(), 0);
}

void TestQUaServer::restartServesTheNewPort()
{
    const quint16 firstPort = freeLoopbackPort();
    const quint16 secondPort = freeLoopbackPort();
    QUaServer server;
    server.setPort(firstPort);
    QVERIFY(server.start());

    QSignalSpy portChanged(&server, &QUaServer::portChanged);
    server.setPort(secondPort);
    QCOMPARE(portChanged.count(), 1);
    {
        TestClient client;
        QCOMPARE(client.connect(firstPort), UA_STATUSCODE_GOOD); // nothing changed on the wire
    }
    server.stop();
    QVERIFY(!server.isRunning());
    QVERIFY(server.start());

    TestClient onNewPort;
    QCOMPARE(onNewPort.connect(secondPort), UA_STATUSCODE_GOOD);
    TestClient onOldPort;
    QVERIFY(onOldPort.connect(firstPort) != UA_STATUSCODE_GOOD);

    // The advertised discovery URL follows the port; the old one is gone.
    const QList<UA_EndpointDescription> endpoints = onNewPort.endpoints(secondPort);
    QCOMPARE(endpoints.count(), 1);
    UA_EndpointDescription endpoint = endpoints.first();
    QStringList discoveryUrls;
    for (size_t i = 0; i < endpoint.server.discoveryUrlsSize; ++i) {
        discoveryUrls << QUaValueConverter::toQString(endpoint.server.discoveryUrls[i]);
    }
    UA_EndpointDescription_clear(&endpoint);
    QVERIFY(!discoveryUrls.isEmpty());
    for (const QString &url : discoveryUrls) {
        QVERIFY2(url.endsWith(QStringLiteral(":%1").arg(secondPort)), qPrintable(url));
    }
}

void TestQUaServer::portInUseFailsStart()
{
    QUaServer first;
    first.setPort(freeLoopbackPort());
    QVERIFY(first.start());
    QUaServer second;
    second.setPort(first.port());
    QSignalSpy running(&second, &QUaServer::isRunningChanged);
    QVERIFY(!second.start());
    QVERIFY(!second.isRunning());
    QCOMPARE(running.count(), 0);

    second.setPort(freeLoopbackPort());
    QVERIFY(second.start());
    TestClient client;
    QCOMPARE(client.connect(second.port()), UA_STATUSCODE_GOOD);
}

void TestQUaServer::identityAndTokenPoliciesReachClients()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.setApplicationName(QStringLiteral("OPC-UA <-> SQL Gateway"));
    server.setApplicationUri(QStringLiteral("uri:test:gateway"));
    server.setProductName(QStringLiteral("TEST-PRODUCT"));
    server.setProductUri(QStringLiteral("http://example.test"));
    server.setManufacturerName(QStringLiteral("Test Maker"));
    server.setSoftwareVersion(QStringLiteral("1.0"));
    server.setBuildNumber(QStringLiteral("42"));
    QCOMPARE(server.applicationName(), QStringLiteral("OPC-UA <-> SQL Gateway"));
    QVERIFY(server.start());

    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME),
             QStringLiteral("TEST-PRODUCT"));
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTURI),
             QStringLiteral("http://example.test"));
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_MANUFACTURERNAME),
             QStringLiteral("Test Maker"));
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_SOFTWAREVERSION),
             QStringLiteral("1.0"));
    QCOMPARE(client.readText(UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_BUILDNUMBER),
             QStringLiteral("42"));

    const QList<UA_EndpointDescription> endpoints = client.endpoints(server.port());
    QCOMPARE(endpoints.count(), 1);
    UA_EndpointDescription endpoint = endpoints.first();
    const QString applicationName =
        QUaValueConverter::toQString(endpoint.server.applicationName.text);
    const QString applicationUri = QUaValueConverter::toQString(endpoint.server.applicationUri);
    const UA_MessageSecurityMode mode = endpoint.securityMode;
    const QStringList policies = tokenPolicyIds(endpoint);
    UA_EndpointDescription_clear(&endpoint);
    QCOMPARE(applicationName, QStringLiteral("OPC-UA <-> SQL Gateway"));
    QCOMPARE(applicationUri, QStringLiteral("uri:test:gateway"));
    QCOMPARE(mode, UA_MESSAGESECURITYMODE_NONE);
    // Both logins on the one None endpoint.
    QCOMPARE(policies.count(), 2);
    QVERIFY(policies.at(0).startsWith(QStringLiteral("open62541-anonymous-policy")));
    QVERIFY(policies.at(1).startsWith(QStringLiteral("open62541-username-policy")));

    server.addUser(QStringLiteral("operator"), QStringLiteral("secret"));
    TestClient wrongPassword;
    QCOMPARE(wrongPassword.connectUser(server.port(), QStringLiteral("operator"),
                                       QStringLiteral("guess")),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    QSignalSpy connected(&server, &QUaServer::clientConnected);
    TestClient user;
    QCOMPARE(user.connectUser(server.port(), QStringLiteral("operator"), QStringLiteral("secret")),
             UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 1);
    const auto *session = connected.at(0).at(0).value<const QUaSession *>();
    QCOMPARE(session->userName(), QStringLiteral("operator"));
}

void TestQUaServer::anonymousLoginCanBeRefused()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.setAnonymousLoginAllowed(false);
    server.addUser(QStringLiteral("operator"), QStringLiteral("secret"));
    QVERIFY(server.start());

    QSignalSpy connected(&server, &QUaServer::clientConnected);
    TestClient anonymous;
    QVERIFY(anonymous.connect(server.port()) != UA_STATUSCODE_GOOD);
    const QList<UA_EndpointDescription> endpoints = anonymous.endpoints(server.port());
    QCOMPARE(endpoints.count(), 1);
    UA_EndpointDescription endpoint = endpoints.first();
    const QStringList policies = tokenPolicyIds(endpoint);
    UA_EndpointDescription_clear(&endpoint);
    QCOMPARE(policies.count(), 1);
    QVERIFY(policies.at(0).startsWith(QStringLiteral("open62541-username-policy")));

    TestClient user;
    QCOMPARE(user.connectUser(server.port(), QStringLiteral("operator"), QStringLiteral("secret")),
             UA_STATUSCODE_GOOD);

    // Allowing it again takes effect at the next start.
    server.setAnonymousLoginAllowed(true);
    TestClient stillRefused;
    QVERIFY(stillRefused.connect(server.port()) != UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 1);
    server.stop();
    QVERIFY(server.start());
    TestClient accepted;
    QCOMPARE(accepted.connect(server.port()), UA_STATUSCODE_GOOD);
}

void TestQUaServer::stopClosesEverySession()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(QStringLiteral("operator"), QStringLiteral("secret"));
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);
    QSignalSpy disconnected(&server, &QUaServer::clientDisconnected);
    QStringList userNames;
    connect(&server, &QUaServer::clientDisconnected, this,
            [&userNames](const QUaSession *session) { userNames << session->userName(); });

    TestClient anonymous;
    TestClient user;
    QCOMPARE(anonymous.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(user.connectUser(server.port(), QStringLiteral("operator"), QStringLiteral("secret")),
             UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 2);

    server.stop();
    QCOMPARE(disconnected.count(), 2);
    userNames.sort();
    QCOMPARE(userNames, QStringList({QStringLiteral("[Anonymous]"), QStringLiteral("operator")}));

    QVERIFY(server.start());
    TestClient again;
    QCOMPARE(again.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 3);
}

void TestQUaServer::stopFromInsideAStackCallbackWaitsForTheIteration()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QUaBaseDataVariable *command =
        server.objectsFolder()->addBaseDataVariable(QUaQualifiedName(1, "Shutdown"));
    command->setValue(false);
    command->setWriteAccess(true);
    connect(command, &QUaBaseVariable::valueChanged, &server, &QUaServer::stop);
    QVERIFY(server.start());
    QSignalSpy disconnected(&server, &QUaServer::clientDisconnected);

    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(client.writeValue(command->nodeId(), true), UA_STATUSCODE_GOOD);
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
        QVERIFY(log.timestamp.isValid());
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

void TestQUaServer::typeChildrenGetFreeComputedIds()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.setNodeManagementAllowed(true);
    QUaFolderObject *folder = server.objectsFolder()->addFolderObject(
        QUaQualifiedName(1, "Machines"), QUaNodeId(1, quint32(5000)));
    QVERIFY(folder);
    const quint32 nameHash = qHash(QByteArray("CurrentState"), 0);
    // The id computed for the second machine's CurrentState is taken already:
    // the search must move on to a free one instead of going round in circles.
    const quint32 secondParent = 7000;
    QVERIFY(folder->addBaseObject(QUaQualifiedName(1, "Occupier"),
                                  QUaNodeId(1, secondParent ^ nameHash)));
    QVERIFY(server.start());

    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    const QUaNodeId stateMachineType(0, UA_NS0ID_STATEMACHINETYPE);
    QCOMPARE(client.addObject(folder->nodeId(), QUaNodeId(1, quint32(6000)),
                              QUaQualifiedName(1, "First"), stateMachineType),
             UA_STATUSCODE_GOOD);
    QCOMPARE(client.addObject(folder->nodeId(), QUaNodeId(1, secondParent),
                              QUaQualifiedName(1, "Second"), stateMachineType),
             UA_STATUSCODE_GOOD);

    auto childId = [&client](const QUaNodeId &parentId) {
        for (const TestClient::Reference &ref : client.browse(parentId)) {
            if (ref.browseName.name() == QLatin1String("CurrentState")) {
                return ref.targetId;
            }
        }
        return QUaNodeId();
    };
    const QUaNodeId firstChild = childId(QUaNodeId(1, quint32(6000)));
    const QUaNodeId secondChild = childId(QUaNodeId(1, secondParent));
    QCOMPARE(firstChild.type(), QUa::NodeIdType::Numeric);
    QCOMPARE(firstChild.numericId(), quint32(6000) ^ nameHash);
    QVERIFY(!secondChild.isNull());
    QVERIFY(secondChild != firstChild);
    QVERIFY(secondChild.numericId() != (secondParent ^ nameHash));
}

void TestQUaServer::childNodeIdCallbackIsCheckedAndLogged()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.setNodeManagementAllowed(true);
    QUaFolderObject *folder = server.objectsFolder()->addFolderObject(
        QUaQualifiedName(1, "Machines"), QUaNodeId(1, quint32(5000)));
    QList<QUaQualifiedName> asked;
    server.setChildNodeIdCallback(
        [&asked](const QUaNodeId &parentId, const QUaQualifiedName &browseName) {
            asked << browseName;
            if (parentId == QUaNodeId(1, quint32(6000))) {
                return QUaNodeId(1, QStringLiteral("Machine.%1").arg(browseName.name()));
            }
            if (parentId == QUaNodeId(1, quint32(6001))) {
                return QUaNodeId(0, UA_NS0ID_SERVER); // in use
            }
            return QUaNodeId();
        });
    QSignalSpy logs(&server, &QUaServer::logMessage);
    QVERIFY(server.start());
    TestClient client;
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    const QUaNodeId stateMachineType(0, UA_NS0ID_STATEMACHINETYPE);
    for (quint32 id : {6000u, 6001u, 6002u}) {
        QCOMPARE(client.addObject(folder->nodeId(), QUaNodeId(1, id),
                                  QUaQualifiedName(1, QStringLiteral("M%1").arg(id)),
                                  stateMachineType),
                 UA_STATUSCODE_GOOD);
    }
    QVERIFY(asked.contains(QUaQualifiedName(0, "CurrentState")));
    UA_StatusCode status = UA_STATUSCODE_BADINTERNALERROR;
    client.readAttribute(QUaNodeId(1, "Machine.CurrentState"), UA_ATTRIBUTEID_NODEID, &status);
    QCOMPARE(status, UA_STATUSCODE_GOOD);

    QStringList userLandErrors;
    for (const QUaLog &log : logsOf(logs)) {
        if (log.category == QUa::LogCategory::UserLand && log.level == QUa::LogLevel::Error) {
            userLandErrors << QString::fromUtf8(log.message);
        }
    }
    QVERIFY(userLandErrors.contains(QStringLiteral(
        "Child ns=0;s=CurrentState nodeId for parent ns=1;i=6001 is already in use. Assigning "
        "random nodeId.")));
    QVERIFY(userLandErrors.contains(QStringLiteral(
        "Child ns=0;s=CurrentState nodeId for parent ns=1;i=6002 is null. Assigning random "
        "nodeId.")));
}

QTEST_GUILESS_MAIN(TestQUaServer)
#include "tst_quaserver.moc"
