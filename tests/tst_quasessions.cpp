// Sessions and access control with real clients over loopback: which logins
// the server takes, the session records and the client address in them, their
// life from activation to close, and the rights a session's user has on nodes.

#include <QFile>
#include <QPointer>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

#include <open62541/client_config_default.h>

#include <future>
#include <memory>
#include <vector>

#include "quabasedatavariable.h"
#include "quabaseobject.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "quasession.h"
#include "support/testclient.h"

// A node class with a method, for the rights to call it.
class TestValve : public QUaBaseObject
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit TestValve(QUaServer *server) : QUaBaseObject(server) {}
    Q_INVOKABLE int open() { return ++m_openings; }

    int openings() const { return m_openings; }

private:
    int m_openings = 0;
};

class TestQUaSessions : public QObject
{
    Q_OBJECT

private slots:
    void usersTable();
    void anonymousLoginFollowsTheSetting();
    void userNameTokensAreChecked();
    void replacedUserCheckDecidesAndAddsTheUser();
    void sessionRecordDescribesTheClient();
    void ipv6ClientGetsItsNumericAddress();
    void concurrentClientsGetTheirOwnAddresses();
    void reactivationKeepsTheRecord();
    void recordsOutliveTheirDisconnectSignal();
    void closedSessionsLeaveNothingBehind();
    void removedUserLosesAllRights();
    void nodeCallbacksAndParentsDecideRights();
    void methodCallsFollowTheUserAndTheObject();
};

namespace
{

const QString kUser = QStringLiteral("operator");
const QString kPassword = QStringLiteral("secret");

void silent(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}

QByteArray urlOf(const char *host, quint16 port)
{
    return QStringLiteral("opc.tcp://%1:%2").arg(QLatin1String(host)).arg(port).toUtf8();
}

// The local ports of this process's established TCP connections to the
// server's port, from the kernel's table: the client library does not tell
// which socket it uses.
QSet<quint16> clientPortsTo(quint16 serverPort, bool ipv6 = false)
{
    QFile table(ipv6 ? QStringLiteral("/proc/self/net/tcp6")
                     : QStringLiteral("/proc/self/net/tcp"));
    QSet<quint16> ports;
    if (!table.open(QIODevice::ReadOnly)) {
        return ports;
    }
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 4 || fields.at(3) != "01") {
            continue;
        }
        const quint16 remotePort = fields.at(2).split(':').last().toUShort(nullptr, 16);
        if (remotePort == serverPort) {
            ports.insert(fields.at(1).split(':').last().toUShort(nullptr, 16));
        }
    }
    return ports;
}

UA_String uaString(const QByteArray &text)
{
    return text.isNull() ? UA_STRING_NULL : UA_String_fromChars(text.constData());
}

// Identity tokens as a client would send them; a null policy id is left out.
UA_ExtensionObject anonymousToken(const QByteArray &policyId)
{
    auto *token = UA_AnonymousIdentityToken_new();
    token->policyId = uaString(policyId);
    UA_ExtensionObject object;
    UA_ExtensionObject_setValue(&object, token, &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN]);
    return object;
}

UA_ExtensionObject userNameToken(const QByteArray &policyId, const QByteArray &userName,
                                 const QByteArray &password)
{
    auto *token = UA_UserNameIdentityToken_new();
    token->policyId = uaString(policyId);
    token->userName = uaString(userName);
    token->password = UA_BYTESTRING_ALLOC(password.constData());
    UA_ExtensionObject object;
    UA_ExtensionObject_setValue(&object, token, &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]);
    return object;
}

UA_ExtensionObject noToken()
{
    UA_ExtensionObject object;
    UA_ExtensionObject_init(&object);
    return object;
}

// Sends an ActivateSession for the client's open session with the token as it
// is: the client library's own activation fills in the advertised policy id
// and never sends an empty token. Takes the token over.
UA_StatusCode activateWith(TestClient &client, UA_ExtensionObject token)
{
    return client.call([token](UA_Client *uaClient) {
        UA_ActivateSessionRequest request;
        UA_ActivateSessionRequest_init(&request);
        request.userIdentityToken = token;
        UA_ActivateSessionResponse response;
        __UA_Client_Service(uaClient, &request, &UA_TYPES[UA_TYPES_ACTIVATESESSIONREQUEST],
                            &response, &UA_TYPES[UA_TYPES_ACTIVATESESSIONRESPONSE]);
        const UA_StatusCode status = response.responseHeader.serviceResult;
        UA_ActivateSessionResponse_clear(&response);
        UA_ActivateSessionRequest_clear(&request);
        return status;
    });
}

UA_StatusCode connectAt(TestClient &client, const QByteArray &url)
{
    return client.call(
        [url](UA_Client *uaClient) { return UA_Client_connect(uaClient, url.constData()); });
}

// The token policy ids that the server advertises, by token type.
QMap<UA_UserTokenType, QByteArray> advertisedPolicyIds(TestClient &client, quint16 port)
{
    QMap<UA_UserTokenType, QByteArray> ids;
    for (UA_EndpointDescription endpoint : client.endpoints(port)) {
        for (size_t i = 0; i < endpoint.userIdentityTokensSize; ++i) {
            const UA_UserTokenPolicy &policy = endpoint.userIdentityTokens[i];
            ids.insert(policy.tokenType,
                       QByteArray(reinterpret_cast<const char *>(policy.policyId.data),
                                  int(policy.policyId.length)));
        }
        UA_EndpointDescription_clear(&endpoint);
    }
    return ids;
}

const QUaSession *sessionOf(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<const QUaSession *>();
}

quint32 readUInt(TestClient &client, const QUaNodeId &nodeId, UA_AttributeId attribute)
{
    return client.readAttribute(nodeId, attribute).toUInt();
}

QUaNodeId childNamed(TestClient &client, const QUaNodeId &nodeId, const QString &name)
{
    for (const TestClient::Reference &reference : client.browse(nodeId)) {
        if (reference.browseName.name() == name) {
            return reference.targetId;
        }
    }
    return QUaNodeId();
}

// What the server holds for its clients, and its node objects: the stack
// makes nodes for every session, and the server objects for them.
QList<int> clientRecordsAndNodeObjects(const QUaServer &server)
{
    const QUaServer::ClientRecords records = server.clientRecords();
    return {records.sessions, records.connections, records.socketNotifiers,
            int(server.findChildren<QUaNode *>().count())};
}

UA_StatusCode callMethod(TestClient &client, const QUaNodeId &objectId, const QUaNodeId &methodId)
{
    return client.call([objectId, methodId](UA_Client *uaClient) {
        UA_NodeId object = objectId;
        UA_NodeId method = methodId;
        size_t outputSize = 0;
        UA_Variant *output = nullptr;
        const UA_StatusCode status =
            UA_Client_call(uaClient, object, method, 0, nullptr, &outputSize, &output);
        UA_Array_delete(output, outputSize, &UA_TYPES[UA_TYPES_VARIANT]);
        UA_NodeId_clear(&object);
        UA_NodeId_clear(&method);
        return status;
    });
}

} // namespace

void TestQUaSessions::usersTable()
{
    QUaServer server;
    server.addUser(QString(), QStringLiteral("ignored"));
    server.addUser(kUser, QStringLiteral("first"));
    server.addUser(kUser, kPassword);
    QCOMPARE(server.userCount(), 1);
    QCOMPARE(server.userNames(), QStringList{kUser});
    QCOMPARE(server.userPassword(kUser), kPassword);
    QCOMPARE(server.userPassword(QStringLiteral("nobody")), QString());
    QVERIFY(server.userExists(kUser));
    QVERIFY(!server.userExists(QStringLiteral("Operator")));
    QVERIFY(!server.userExists(QString()));
    QVERIFY(server.userExists(QStringLiteral("[Anonymous]")));
    QVERIFY(server.userExists(QStringLiteral("[Anonymous:EmptyToken]")));
    server.removeUser(QString());
    QCOMPARE(server.userCount(), 1);
    server.removeUser(kUser);
    QVERIFY(!server.userExists(kUser));
}

void TestQUaSessions::anonymousLoginFollowsTheSetting()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.setAnonymousLoginAllowed(false);
    server.addUser(kUser, kPassword);
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    TestClient anonymous;
    // The library finds no anonymous policy to log in with and gives up itself.
    QVERIFY(anonymous.connect(server.port()) != UA_STATUSCODE_GOOD);
    // A logged-in session that asks to go on without a token, or as anonymous
    // under the policy id the server would advertise.
    const QByteArray userPolicy =
        advertisedPolicyIds(anonymous, server.port()).value(UA_USERTOKENTYPE_USERNAME);
    QVERIFY(userPolicy.startsWith("open62541-username-policy"));
    const QByteArray anonymousPolicy =
        "open62541-anonymous-policy" + userPolicy.mid(qstrlen("open62541-username-policy"));
    TestClient user;
    QCOMPARE(user.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QCOMPARE(activateWith(user, noToken()), UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(activateWith(user, anonymousToken(anonymousPolicy)),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(activateWith(user, anonymousToken(QByteArray())),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(connected.count(), 1);
    QCOMPARE(sessionOf(connected, 0)->userName(), kUser);

    server.stop();
    server.setAnonymousLoginAllowed(true);
    QVERIFY(server.start());
    TestClient accepted;
    QCOMPARE(accepted.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 2);
    const QUaSession *session = sessionOf(connected, 1);
    QCOMPARE(session->userName(), QStringLiteral("[Anonymous]"));
    QCOMPARE(advertisedPolicyIds(anonymous, server.port()).value(UA_USERTOKENTYPE_ANONYMOUS),
             anonymousPolicy);
    QCOMPARE(activateWith(accepted, anonymousToken(anonymousPolicy)), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 3);
    QCOMPARE(sessionOf(connected, 2), session);
    // The stack matches the token's policy id exactly against the advertised
    // ones before it asks the server: a token without policy id, or no token
    // at all, never gets that far.
    QCOMPARE(activateWith(accepted, anonymousToken(QByteArray())),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(activateWith(accepted, noToken()), UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(activateWith(accepted, anonymousToken("open62541-anonymous-policy")),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(connected.count(), 3);
    QCOMPARE(session->userName(), QStringLiteral("[Anonymous]"));
}

void TestQUaSessions::userNameTokensAreChecked()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    QStringList checkedNames;
    server.setUserValidationCallback(
        [&server, &checkedNames](const QString &userName, const QString &password) {
            checkedNames << userName;
            return server.userExists(userName) && server.userPassword(userName) == password;
        });
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    TestClient client;
    const QByteArray policy =
        advertisedPolicyIds(client, server.port()).value(UA_USERTOKENTYPE_USERNAME);
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(activateWith(client, userNameToken(policy, "", "")),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QVERIFY(checkedNames.isEmpty());
    QCOMPARE(activateWith(client, userNameToken(policy, "", "secret")),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    QCOMPARE(checkedNames, QStringList{QString()});
    QCOMPARE(activateWith(client, userNameToken(policy, "operator", "Secret")),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    QCOMPARE(activateWith(client, userNameToken("another-policy", "operator", "secret")),
             UA_STATUSCODE_BADIDENTITYTOKENINVALID);
    QCOMPARE(checkedNames.count(), 2);
    QCOMPARE(connected.count(), 1);

    // The library's own login, with the policy id as the server advertises it.
    TestClient wrong;
    QCOMPARE(wrong.connectUser(server.port(), kUser, QStringLiteral("guess")),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    TestClient right;
    QCOMPARE(right.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 2);
    QCOMPARE(sessionOf(connected, 1)->userName(), kUser);
}

void TestQUaSessions::replacedUserCheckDecidesAndAddsTheUser()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    server.setUserValidationCallback([](const QString &userName, const QString &password) {
        return userName == QStringLiteral("guest") && password == QStringLiteral("door");
    });
    QVERIFY(server.start());

    TestClient tableUser;
    QCOMPARE(tableUser.connectUser(server.port(), kUser, kPassword),
             UA_STATUSCODE_BADUSERACCESSDENIED);
    TestClient guest;
    QCOMPARE(guest.connectUser(server.port(), QStringLiteral("guest"), QStringLiteral("door")),
             UA_STATUSCODE_GOOD);
    QVERIFY(server.userExists(QStringLiteral("guest")));
    QCOMPARE(server.userPassword(QStringLiteral("guest")), QString());

    // An empty callback gives the decision back to the table.
    server.setUserValidationCallback({});
    TestClient again;
    QCOMPARE(again.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
}

void TestQUaSessions::sessionRecordDescribesTheClient()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    TestClient client;
    client.call([](UA_Client *uaClient) {
        UA_ApplicationDescription &description = UA_Client_getConfig(uaClient)->clientDescription;
        UA_ApplicationDescription_clear(&description);
        description.applicationName = UA_LOCALIZEDTEXT_ALLOC("en", "Line 3 panel");
        description.applicationUri = UA_STRING_ALLOC("urn:plant:line3:panel");
        description.productUri = UA_STRING_ALLOC("urn:plant:panel");
        return 0;
    });
    const QDateTime before = QDateTime::currentDateTimeUtc();
    QCOMPARE(client.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 1);
    const QUaSession *session = sessionOf(connected, 0);
    QCOMPARE(session->parent(), &server);
    QCOMPARE(session->applicationName(), QStringLiteral("Line 3 panel"));
    QCOMPARE(session->applicationUri(), QStringLiteral("urn:plant:line3:panel"));
    QCOMPARE(session->productUri(), QStringLiteral("urn:plant:panel"));
    QCOMPARE(session->address(), QStringLiteral("127.0.0.1"));
    QCOMPARE(clientPortsTo(server.port()), QSet<quint16>{session->port()});
    QVERIFY(session->sessionId().startsWith(QStringLiteral("ns=")));
    QVERIFY(session->timestamp() >= before.addMSecs(-1));
    QVERIFY(session->timestamp() <= QDateTime::currentDateTimeUtc());
}

void TestQUaSessions::ipv6ClientGetsItsNumericAddress()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    TestClient client;
    if (connectAt(client, urlOf("[::1]", server.port())) != UA_STATUSCODE_GOOD) {
        QSKIP("the server does not listen on ::1 here");
    }
    QCOMPARE(connected.count(), 1);
    const QUaSession *session = sessionOf(connected, 0);
    QCOMPARE(session->address(), QStringLiteral("::1"));
    QCOMPARE(clientPortsTo(server.port(), true), QSet<quint16>{session->port()});
}

// The clients connect at the same time, so that their requests interleave in
// the server's iterations.
void TestQUaSessions::concurrentClientsGetTheirOwnAddresses()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    const QByteArray url = urlOf("127.0.0.1", server.port());
    std::vector<std::unique_ptr<UA_Client, decltype(&UA_Client_delete)>> clients;
    std::vector<std::future<UA_StatusCode>> connects;
    for (int i = 0; i < 5; ++i) {
        clients.emplace_back(UA_Client_new(), &UA_Client_delete);
        UA_ClientConfig *config = UA_Client_getConfig(clients.back().get());
        UA_ClientConfig_setDefault(config);
        config->logging->log = &silent;
    }
    for (auto &client : clients) {
        UA_Client *uaClient = client.get();
        connects.push_back(std::async(std::launch::async, [uaClient, url] {
            return UA_Client_connect(uaClient, url.constData());
        }));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(connects.begin(), connects.end(),
                                         [](const std::future<UA_StatusCode> &connect) {
                                             return connect.wait_for(std::chrono::seconds(0)) ==
                                                    std::future_status::ready;
                                         }),
                             20000);
    for (auto &connect : connects) {
        QCOMPARE(connect.get(), UA_STATUSCODE_GOOD);
    }

    QCOMPARE(connected.count(), 5);
    QSet<quint16> sessionPorts;
    for (int i = 0; i < connected.count(); ++i) {
        QCOMPARE(sessionOf(connected, i)->address(), QStringLiteral("127.0.0.1"));
        sessionPorts.insert(sessionOf(connected, i)->port());
    }
    QCOMPARE(sessionPorts, clientPortsTo(server.port()));

    server.stop(); // before the clients go, which would wait for the server
}

void TestQUaSessions::reactivationKeepsTheRecord()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    QVERIFY(server.start());
    QSignalSpy connected(&server, &QUaServer::clientConnected);

    TestClient first;
    QCOMPARE(first.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 1);
    const QUaSession *session = sessionOf(connected, 0);
    const QDateTime timestamp = session->timestamp();
    const quint16 firstPort = session->port();
    QTest::qWait(20);

    QCOMPARE(first.call([](UA_Client *client) { return UA_Client_activateCurrentSession(client); }),
             UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 2);
    QCOMPARE(sessionOf(connected, 1), session);
    QCOMPARE(session->timestamp(), timestamp);
    QCOMPARE(session->port(), firstPort);

    // Taken over by a second client on a connection of its own: the record
    // now names the new connection.
    struct Handover {
        UA_NodeId token;
        UA_ByteString nonce;
    };
    const Handover handover = first.call([](UA_Client *client) {
        Handover result;
        UA_Client_getSessionAuthenticationToken(client, &result.token, &result.nonce);
        return result;
    });
    TestClient second;
    const QByteArray url = urlOf("127.0.0.1", server.port());
    QCOMPARE(second.call([url, handover](UA_Client *client) {
        Handover copy = handover;
        UA_StatusCode status = UA_Client_connectSecureChannel(client, url.constData());
        if (status == UA_STATUSCODE_GOOD) {
            status = UA_Client_activateSession(client, copy.token, copy.nonce);
        }
        UA_NodeId_clear(&copy.token);
        UA_ByteString_clear(&copy.nonce);
        return status;
    }),
             UA_STATUSCODE_GOOD);
    QCOMPARE(connected.count(), 3);
    QCOMPARE(sessionOf(connected, 2), session);
    QCOMPARE(session->timestamp(), timestamp);
    QVERIFY(session->port() != firstPort);
    QVERIFY(clientPortsTo(server.port()).contains(session->port()));
}

void TestQUaSessions::recordsOutliveTheirDisconnectSignal()
{
    auto server = std::make_unique<QUaServer>();
    server->setPort(freeLoopbackPort());
    server->addUser(kUser, kPassword);
    QVERIFY(server->start());
    QSignalSpy connected(server.get(), &QUaServer::clientConnected);
    QStringList closed;
    connect(server.get(), &QUaServer::clientDisconnected, server.get(),
            [&closed](const QUaSession *session) {
                closed << session->userName() + QLatin1Char('@') + session->address();
            });

    TestClient leaving;
    TestClient anonymous;
    TestClient user;
    TestClient lastOne;
    QCOMPARE(leaving.connect(server->port()), UA_STATUSCODE_GOOD);
    QCOMPARE(anonymous.connect(server->port()), UA_STATUSCODE_GOOD);
    QCOMPARE(user.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QList<QPointer<const QUaSession>> records;
    for (int i = 0; i < connected.count(); ++i) {
        records << sessionOf(connected, i);
    }

    leaving.disconnect();
    QCOMPARE(closed, QStringList{QStringLiteral("[Anonymous]@127.0.0.1")});
    QTRY_VERIFY(records.at(0).isNull());

    server->stop();
    closed.sort();
    QCOMPARE(closed, QStringList({QStringLiteral("[Anonymous]@127.0.0.1"),
                                  QStringLiteral("[Anonymous]@127.0.0.1"),
                                  QStringLiteral("operator@127.0.0.1")}));
    QTRY_VERIFY(records.at(1).isNull() && records.at(2).isNull());

    // A server destroyed with a session open closes it on the way out.
    QVERIFY(server->start());
    QCOMPARE(lastOne.connect(server->port()), UA_STATUSCODE_GOOD);
    const QPointer<const QUaSession> last = sessionOf(connected, connected.count() - 1);
    server.reset();
    QVERIFY(last.isNull());
    QCOMPARE(closed.count(), 4);
}

void TestQUaSessions::closedSessionsLeaveNothingBehind()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    QVERIFY(server.start());
    const QList<int> idle = clientRecordsAndNodeObjects(server);
    QVERIFY(idle.at(1) > 0); // the listen sockets
    QCOMPARE(idle.at(2), idle.at(1));

    TestClient staying;
    QCOMPARE(staying.connect(server.port()), UA_STATUSCODE_GOOD);
    const QList<int> oneOpen = clientRecordsAndNodeObjects(server);
    QCOMPARE(oneOpen.mid(0, 3), (QList<int>{1, idle.at(1) + 1, idle.at(2) + 1}));

    for (int i = 0; i < 50; ++i) {
        TestClient client;
        QCOMPARE(i % 2 ? client.connect(server.port())
                       : client.connectUser(server.port(), kUser, kPassword),
                 UA_STATUSCODE_GOOD);
    }
    QTRY_COMPARE(clientRecordsAndNodeObjects(server), oneOpen);
    staying.disconnect();
    QTRY_COMPARE(clientRecordsAndNodeObjects(server), idle);
}

void TestQUaSessions::removedUserLosesAllRights()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    QUaFolderObject *plant = server.objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    plant->setWriteMask(UA_WRITEMASK_DISPLAYNAME | UA_WRITEMASK_DESCRIPTION);
    QUaBaseDataVariable *level = plant->addBaseDataVariable(QUaQualifiedName(1, "Level"));
    level->setValue(7);
    level->setWriteAccess(true);
    level->setWriteMask(UA_WRITEMASK_DISPLAYNAME);
    QUaProperty *unit = plant->addProperty(QUaQualifiedName(1, "Unit"));
    unit->setValue(QStringLiteral("m"));
    QVERIFY(server.start());

    TestClient user;
    TestClient anonymous;
    QCOMPARE(user.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QCOMPARE(anonymous.connect(server.port()), UA_STATUSCODE_GOOD);
    const QUaNodeId serverStatus(0, UA_NS0ID_SERVER_SERVERSTATUS);
    const QUaNodeId objects(0, UA_NS0ID_OBJECTSFOLDER);
    QCOMPARE(readUInt(user, level->nodeId(), UA_ATTRIBUTEID_USERACCESSLEVEL), 3u);
    QCOMPARE(readUInt(user, unit->nodeId(), UA_ATTRIBUTEID_USERACCESSLEVEL), 1u);
    QCOMPARE(readUInt(user, serverStatus, UA_ATTRIBUTEID_USERACCESSLEVEL), 1u);
    QCOMPARE(readUInt(user, plant->nodeId(), UA_ATTRIBUTEID_USERWRITEMASK),
             quint32(UA_WRITEMASK_DISPLAYNAME | UA_WRITEMASK_DESCRIPTION));
    QCOMPARE(readUInt(user, level->nodeId(), UA_ATTRIBUTEID_USERWRITEMASK),
             quint32(UA_WRITEMASK_DISPLAYNAME));
    QCOMPARE(user.writeValue(level->nodeId(), 8), UA_STATUSCODE_GOOD);

    server.removeUser(kUser);
    for (const QUaNodeId &node : {level->nodeId(), unit->nodeId(), serverStatus}) {
        QCOMPARE(readUInt(user, node, UA_ATTRIBUTEID_USERACCESSLEVEL), 0u);
    }
    for (const QUaNodeId &node : {plant->nodeId(), level->nodeId(), unit->nodeId(), objects}) {
        QCOMPARE(readUInt(user, node, UA_ATTRIBUTEID_USERWRITEMASK), 0u);
    }
    QVERIFY(user.writeValue(level->nodeId(), 9) != UA_STATUSCODE_GOOD);
    QCOMPARE(level->value().toInt(), 8);
    // Other sessions keep theirs.
    QCOMPARE(readUInt(anonymous, level->nodeId(), UA_ATTRIBUTEID_USERACCESSLEVEL), 3u);
    QCOMPARE(readUInt(anonymous, plant->nodeId(), UA_ATTRIBUTEID_USERWRITEMASK),
             quint32(UA_WRITEMASK_DISPLAYNAME | UA_WRITEMASK_DESCRIPTION));
}

void TestQUaSessions::nodeCallbacksAndParentsDecideRights()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    QUaFolderObject *plant = server.objectsFolder()->addFolderObject(QUaQualifiedName(1, "Plant"));
    QUaBaseDataVariable *level = plant->addBaseDataVariable(QUaQualifiedName(1, "Level"));
    level->setValue(7);
    level->setWriteAccess(true);
    level->setWriteMask(UA_WRITEMASK_DISPLAYNAME | UA_WRITEMASK_DESCRIPTION);
    QStringList askedFor;
    // The folder makes its variables read-only for anonymous clients.
    plant->setUserAccessLevelCallback([&askedFor](const QString &userName) -> quint8 {
        askedFor << userName;
        return userName == QStringLiteral("[Anonymous]") ? UA_ACCESSLEVELMASK_READ : 0xFF;
    });
    level->setUserWriteMaskCallback([](const QString &userName) -> quint32 {
        return userName == QStringLiteral("operator") ? UA_WRITEMASK_DESCRIPTION : 0;
    });
    QVERIFY(server.start());

    TestClient user;
    TestClient anonymous;
    QCOMPARE(user.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QCOMPARE(anonymous.connect(server.port()), UA_STATUSCODE_GOOD);
    QCOMPARE(readUInt(user, level->nodeId(), UA_ATTRIBUTEID_USERACCESSLEVEL), 3u);
    QCOMPARE(readUInt(anonymous, level->nodeId(), UA_ATTRIBUTEID_USERACCESSLEVEL), 1u);
    QCOMPARE(askedFor, QStringList({kUser, QStringLiteral("[Anonymous]")}));
    QVERIFY(anonymous.writeValue(level->nodeId(), 1) != UA_STATUSCODE_GOOD);
    QCOMPARE(user.writeValue(level->nodeId(), 2), UA_STATUSCODE_GOOD);
    QCOMPARE(readUInt(user, level->nodeId(), UA_ATTRIBUTEID_USERWRITEMASK),
             quint32(UA_WRITEMASK_DESCRIPTION));
    QCOMPARE(readUInt(anonymous, level->nodeId(), UA_ATTRIBUTEID_USERWRITEMASK), 0u);
}

void TestQUaSessions::methodCallsFollowTheUserAndTheObject()
{
    QUaServer server;
    server.setPort(freeLoopbackPort());
    server.addUser(kUser, kPassword);
    auto *valve = server.objectsFolder()->addChild<TestValve>(QUaQualifiedName(1, "Valve"));
    QVERIFY(valve);
    QStringList askedFor;
    valve->setUserExecutableCallback([&askedFor](const QString &userName) {
        askedFor << userName;
        return userName != QStringLiteral("[Anonymous]");
    });
    QVERIFY(server.start());

    TestClient user;
    TestClient anonymous;
    QCOMPARE(user.connectUser(server.port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    QCOMPARE(anonymous.connect(server.port()), UA_STATUSCODE_GOOD);
    const QUaNodeId open = childNamed(user, valve->nodeId(), QStringLiteral("open"));
    QVERIFY(!open.isNull());
    QCOMPARE(callMethod(user, valve->nodeId(), open), UA_STATUSCODE_GOOD);
    QCOMPARE(callMethod(anonymous, valve->nodeId(), open), UA_STATUSCODE_BADNOTEXECUTABLE);
    QCOMPARE(askedFor, QStringList({kUser, QStringLiteral("[Anonymous]")}));
    QVERIFY(anonymous.readAttribute(open, UA_ATTRIBUTEID_USEREXECUTABLE).toBool());

    server.removeUser(kUser);
    QCOMPARE(callMethod(user, valve->nodeId(), open), UA_STATUSCODE_BADNOTEXECUTABLE);
    QVERIFY(!user.readAttribute(open, UA_ATTRIBUTEID_USEREXECUTABLE).toBool());
    QCOMPARE(askedFor.count(), 2);
    QCOMPARE(valve->openings(), 1);
}

QTEST_MAIN(TestQUaSessions)
#include "tst_quasessions.moc"
