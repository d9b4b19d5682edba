// Sessions and access control with real clients over loopback: logins on plain
// and encrypted channels, the trust list and the own certificate, the session
// records from activation to close, and the rights of a session's user.

#include <QtTest>

#include <open62541/client_config_default.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/plugin/securitypolicy.h>

#include "quabasedatavariable.h"
#include "quabaseobject.h"
#include "quafolderobject.h"
#include "quasession.h"
#include "support/serverfixture.h"

// A node class with a method, for the rights to call it.
class TestValve : public QUaBaseObject
{
    Q_OBJECT
public:
    Q_INVOKABLE explicit TestValve(QUaServer *server) : QUaBaseObject(server) {}
    Q_INVOKABLE void open() {}
};

// How a test client logs in: unencrypted; sending the password readable whatever
// the server advertises; encrypting it on the None channel; or the channel.
enum class Client { Plain, ReadableToken, EncryptedToken, SignAndEncrypt };
Q_DECLARE_METATYPE(Client)

namespace
{

const QString kAnonymous = QStringLiteral("[Anonymous]");
const QByteArray kServerUri("urn:test:gateway");
const QStringList kEncryptedOnly{QStringLiteral("Basic256Sha256")};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

UA_ByteString byteString(const QByteArray &bytes)
{
    return {size_t(bytes.size()), reinterpret_cast<UA_Byte *>(const_cast<char *>(bytes.data()))};
}

// A server that encrypts with the policies if any, keeping its certificates in pki.
std::unique_ptr<QUaServer> newServer(const QStringList &policies, const QString &pki,
                                     bool trustAll = true, const QString &uri = kServerUri)
{
    auto server = ::newServer();
    if (!policies.isEmpty()) {
        server->setApplicationUri(uri);
        server->setSecurityPolicies(policies);
        server->setPkiFolder(pki);
        server->setTrustAllClients(trustAll);
    }
    return server;
}

// The local ports of this process's TCP connections to the server's port: the
// client library does not tell which socket it uses.
QSet<quint16> clientPortsTo(quint16 serverPort, bool ipv6)
{
    const QByteArray table = readFile(QStringLiteral("/proc/self/net/tcp") + (ipv6 ? "6" : ""));
    QSet<quint16> ports;
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        auto port = [&fields](int i) {
            return fields.at(i).split(':').last().toUShort(nullptr, 16);
        };
        if (fields.size() >= 4 && fields.at(3) == "01" && port(2) == serverPort) {
            ports.insert(port(1));
        }
    }
    return ports;
}

const QUaSession *sessionOf(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<const QUaSession *>();
}

} // namespace

class TestQUaSessions : public QObject
{
    Q_OBJECT

    QByteArray m_clientCertificate;
    QByteArray m_clientKey;
    QTemporaryDir m_sharedPki; // one server certificate for the login cases

    // Encrypts with the client certificate, on an endpoint of the mode.
    void encrypt(TestClient &client, UA_MessageSecurityMode mode)
    {
        UA_ClientConfig *config = client.config();
        UA_ClientConfig_setDefaultEncryption(config, byteString(m_clientCertificate),
                                             byteString(m_clientKey), nullptr, 0, nullptr, 0);
        UA_String_clear(&config->clientDescription.applicationUri);
        config->clientDescription.applicationUri = UA_String_fromChars("urn:test:client");
        config->securityMode = mode;
        // Whichever certificate the server shows: the server's trust is under test.
        config->certificateVerification.clear(&config->certificateVerification);
        UA_CertificateVerification_AcceptAll(&config->certificateVerification);
    }

    // The password goes readable on the None endpoint: the client's copy of its policy says so.
    void sendReadableToken(TestClient &client, quint16 port)
    {
        UA_ClientConfig *config = client.config();
        for (UA_EndpointDescription endpoint : client.endpoints(port)) {
            if (endpoint.securityMode == UA_MESSAGESECURITYMODE_NONE) {
                UA_EndpointDescription_copy(&endpoint, &config->endpoint);
            }
            UA_EndpointDescription_clear(&endpoint);
        }
        for (size_t i = 0; i < config->endpoint.userIdentityTokensSize; ++i) {
            UA_UserTokenPolicy &policy = config->endpoint.userIdentityTokens[i];
            if (policy.tokenType == UA_USERTOKENTYPE_USERNAME) {
                UA_String_clear(&policy.securityPolicyUri);
                UA_String_copy(&UA_SECURITY_POLICY_NONE_URI, &policy.securityPolicyUri);
                UA_UserTokenPolicy_copy(&policy, &config->userTokenPolicy);
            }
        }
    }

private slots:
    // The client's certificate is one that a server of the client's URI makes.
    void initTestCase()
    {
        QTemporaryDir pki;
        QVERIFY(m_sharedPki.isValid() && pki.isValid());
        QVERIFY(newServer(kEncryptedOnly, pki.path(), true, "urn:test:client")->start());
        m_clientCertificate = readFile(pki.filePath(QStringLiteral("own/cert.der")));
        m_clientKey = readFile(pki.filePath(QStringLiteral("own/key.der")));
        QVERIFY(!m_clientKey.isEmpty());
    }

    // Refused anonymous logins are checked in tst_quaserver, across a restart.
    void logins_data()
    {
        QTest::addColumn<QStringList>("policies"); // none: the unencrypted default
        QTest::addColumn<Client>("client");
        QTest::addColumn<QString>("userName"); // empty: anonymous
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        const auto row = [](const char *name, const QStringList &policies, Client client,
                            const QString &userName, const char *password, bool accepted) {
            QTest::newRow(name) << policies << client << userName << QString::fromLatin1(password)
                                << accepted;
        };
        const QStringList plain;
        const QString anonymous;
        const QStringList both = QStringList{QStringLiteral("None")} + kEncryptedOnly;
        row("wrong password", plain, Client::Plain, kUser, "Secret", false);
        row("name in other case", plain, Client::Plain, "Operator", "secret", false);
        row("known user, empty password", plain, Client::Plain, kUser, "", false);
        row("replaced check, table user", plain, Client::Plain, kUser, "secret", false);
        row("replaced check, its user", plain, Client::Plain, "guest", "door", true);
        row("readable token on None", both, Client::ReadableToken, kUser, "secret", false);
        row("encrypted token on None", both, Client::EncryptedToken, kUser, "secret", true);
        row("user, SignAndEncrypt", kEncryptedOnly, Client::SignAndEncrypt, kUser, "secret", true);
        row("anonymous, None listed", both, Client::Plain, anonymous, "", true);
        row("anonymous, None not listed", kEncryptedOnly, Client::SignAndEncrypt, anonymous, "",
            false);
    }

    void logins()
    {
        QFETCH(QStringList, policies);
        QFETCH(Client, client);
        QFETCH(QString, userName);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        const auto server = newServer(policies, m_sharedPki.path());
        if (QByteArray(QTest::currentDataTag()).startsWith("replaced check")) {
            server->setUserValidationCallback([](const QString &name, const QString &password) {
                return name == QStringLiteral("guest") && password == QStringLiteral("door");
            });
        }
        QVERIFY(server->start());
        QSignalSpy connected(server.get(), &QUaServer::clientConnected);
        TestClient testClient;
        if (client == Client::ReadableToken) {
            sendReadableToken(testClient, server->port());
        } else if (client != Client::Plain) {
            encrypt(testClient, client == Client::SignAndEncrypt
                                    ? UA_MESSAGESECURITYMODE_SIGNANDENCRYPT
                                    : UA_MESSAGESECURITYMODE_NONE);
        }
        const UA_StatusCode status =
            userName.isEmpty() ? testClient.connect(server->port())
                               : testClient.connectUser(server->port(), userName, password);
        QCOMPARE(status == UA_STATUSCODE_GOOD, accepted);
        QCOMPARE(connected.count(), accepted ? 1 : 0);
        if (accepted) {
            QCOMPARE(sessionOf(connected, 0)->userName(),
                     userName.isEmpty() ? kAnonymous : userName);
        }
    }

    // After three wrong passwords from one address even the right one waits
    // out a pause.
    void repeatedFailedLoginsAreSlowedDown()
    {
        const auto server = newServer({}, m_sharedPki.path());
        QVERIFY(server->start());
        for (int attempt = 0; attempt < 3; ++attempt) {
            TestClient guess;
            QCOMPARE(guess.connectUser(server->port(), kUser, "guess"),
                     UA_STATUSCODE_BADUSERACCESSDENIED);
        }
        TestClient early;
        QCOMPARE(early.connectUser(server->port(), kUser, kPassword),
                 UA_STATUSCODE_BADUSERACCESSDENIED);
        QTest::qWait(1100);
        TestClient later;
        QCOMPARE(later.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    }

    // An untrusted client is refused, its certificate copied to rejected/, and taken once
    // moved to trusted/; the own certificate is made at the first start only.
    void trustListAndOwnCertificate()
    {
        QTemporaryDir pki;
        auto server = newServer(kEncryptedOnly, pki.path(), false);
        QVERIFY(server->start());
        const QByteArray made = readFile(pki.filePath(QStringLiteral("own/cert.der")));
        QVERIFY(made.contains(kServerUri));
        TestClient refused;
        encrypt(refused, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
        QVERIFY(refused.connectUser(server->port(), kUser, kPassword) != UA_STATUSCODE_GOOD);
        const QDir rejected(pki.filePath(QStringLiteral("rejected")));
        const QStringList files = rejected.entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QCOMPARE(readFile(rejected.filePath(files.first())), m_clientCertificate);
        QVERIFY(QDir().rename(rejected.filePath(files.first()),
                              pki.filePath(QStringLiteral("trusted/") + files.first())));
        TestClient trusted;
        encrypt(trusted, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
        QCOMPARE(trusted.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
        server = newServer(kEncryptedOnly, pki.path(), false);
        QVERIFY(server->start());
        QCOMPARE(readFile(pki.filePath(QStringLiteral("own/cert.der"))), made);
        TestClient again;
        encrypt(again, UA_MESSAGESECURITYMODE_SIGN);
        QCOMPARE(again.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
    }

    void sessionRecordsDescribeTheirClients_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("[::1]") << QStringLiteral("::1");
    }

    // The clients connect at once, so that their requests interleave in the server.
    void sessionRecordsDescribeTheirClients()
    {
        QFETCH(QString, host);
        QFETCH(QString, address);
        const bool ipv6 = address.contains(QLatin1Char(':'));
        const auto server = ::newServer();
        QVERIFY(server->start());
        QSignalSpy connected(server.get(), &QUaServer::clientConnected);
        const QByteArray url =
            QStringLiteral("opc.tcp://%1:%2").arg(host).arg(server->port()).toUtf8();
        TestClient clients[5];
        std::future<UA_StatusCode> connects[5];
        for (int i = 0; i < 5; ++i) {
            UA_Client *uaClient = clients[i].call([](UA_Client *c) { return c; });
            connects[i] = std::async(std::launch::async, [uaClient, url] {
                return UA_Client_connect(uaClient, url.constData());
            });
        }
        QVector<UA_StatusCode> statuses;
        for (auto &connect : connects) {
            QTRY_VERIFY_WITH_TIMEOUT(
                connect.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 20000);
            statuses << connect.get();
        }
        if (ipv6 && statuses.first() != UA_STATUSCODE_GOOD) {
            QSKIP("the server does not listen on ::1 here");
        }
        QCOMPARE(statuses, QVector<UA_StatusCode>(5, UA_STATUSCODE_GOOD));
        QCOMPARE(connected.count(), 5);
        QHash<const QUaSession *, QPair<QDateTime, quint16>> records;
        QSet<quint16> ports;
        for (int i = 0; i < connected.count(); ++i) {
            const QUaSession *session = sessionOf(connected, i);
            QCOMPARE(session->address(), address);
            records.insert(session, {session->timestamp(), session->port()});
            ports << session->port();
        }
        QCOMPARE(ports, clientPortsTo(server->port(), ipv6));
        // Activated again by its client, a session keeps its record as it was.
        QTest::qWait(20);
        QCOMPARE(clients[0].call([](UA_Client *c) { return UA_Client_activateCurrentSession(c); }),
                 UA_STATUSCODE_GOOD);
        QCOMPARE(connected.count(), 6);
        const QUaSession *session = sessionOf(connected, 5);
        const QPair<QDateTime, quint16> record{session->timestamp(), session->port()};
        QVERIFY(records.value(session) == record);
        // Taken over by a client on a connection of its own, it names that one.
        UA_NodeId token;
        UA_ByteString nonce;
        clients[0].call([&token, &nonce](UA_Client *c) {
            return UA_Client_getSessionAuthenticationToken(c, &token, &nonce);
        });
        TestClient second;
        QCOMPARE(second.call([&url, &token, &nonce](UA_Client *c) {
            const UA_StatusCode status = UA_Client_connectSecureChannel(c, url.constData());
            return status ? status : UA_Client_activateSession(c, token, nonce);
        }),
                 UA_STATUSCODE_GOOD);
        UA_NodeId_clear(&token);
        UA_ByteString_clear(&nonce);
        QCOMPARE(connected.count(), 7);
        QCOMPARE(sessionOf(connected, 6), session);
        QCOMPARE(session->timestamp(), record.first);
        QVERIFY(session->port() != record.second);
        QVERIFY(clientPortsTo(server->port(), ipv6).contains(session->port()));
    }

    // Records stay readable in the disconnect signal and go after, on close or stop.
    void closedSessionsLeaveNothingBehind()
    {
        const auto server = ::newServer();
        QVERIFY(server->start());
        QSignalSpy connected(server.get(), &QUaServer::clientConnected);
        QStringList closed;
        connect(server.get(), &QUaServer::clientDisconnected, this,
                [&closed](const QUaSession *session) {
                    closed << session->userName() + QLatin1Char('@') + session->address();
                });
        // What the server holds for clients, and its node objects (made for every session).
        auto clientRecordsAndNodeObjects = [](const QUaServer &server) {
            const QUaServer::ClientRecords records = server.clientRecords();
            return QList<int>{records.sessions, records.connections, records.socketNotifiers,
                              int(server.findChildren<QUaNode *>().count())};
        };
        const QList<int> idle = clientRecordsAndNodeObjects(*server);
        TestClient staying;
        QCOMPARE(staying.connect(server->port()), UA_STATUSCODE_GOOD);
        const QList<int> oneOpen = clientRecordsAndNodeObjects(*server);
        QCOMPARE(oneOpen.mid(0, 3), (QList<int>{1, idle.at(1) + 1, idle.at(2) + 1}));
        for (int i = 0; i < 50; ++i) {
            TestClient client;
            QCOMPARE(i % 2 ? client.connect(server->port())
                           : client.connectUser(server->port(), kUser, kPassword),
                     UA_STATUSCODE_GOOD);
        }
        QCOMPARE(closed.count(), 50);
        QCOMPARE(closed.mid(0, 2), QStringList({kUser + "@127.0.0.1", kAnonymous + "@127.0.0.1"}));
        QTRY_COMPARE(clientRecordsAndNodeObjects(*server), oneOpen);
        QPointer<const QUaSession> record = sessionOf(connected, 0);
        staying.disconnect();
        QTRY_COMPARE(clientRecordsAndNodeObjects(*server), idle);
        QVERIFY(record.isNull());
        // Stopping closes every open session.
        TestClient user;
        QCOMPARE(user.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
        closed.clear();
        record = sessionOf(connected, connected.count() - 1);
        server->stop();
        QCOMPARE(closed, QStringList{kUser + "@127.0.0.1"});
        QTRY_VERIFY(record.isNull());
    }

    void rightsFollowTheUserAndTheNode()
    {
        const auto server = ::newServer();
        QUaNode *objects = server->objectsFolder();
        QUaBaseDataVariable *level = objects->addBaseDataVariable(QUaQualifiedName(1, "Level"));
        level->setWriteAccess(true);
        level->setWriteMask(UA_WRITEMASK_DISPLAYNAME);
        // A folder making its variables read-only for anonymous, one with its own write mask.
        QUaFolderObject *tank = objects->addFolderObject(QUaQualifiedName(1, "Tank"));
        tank->setUserAccessLevelCallback([](const QString &userName) -> quint8 {
            return userName == kAnonymous ? UA_ACCESSLEVELMASK_READ : 0xFF;
        });
        QUaBaseDataVariable *volume = tank->addBaseDataVariable(QUaQualifiedName(1, "Volume"));
        volume->setWriteAccess(true);
        volume->setWriteMask(UA_WRITEMASK_DISPLAYNAME | UA_WRITEMASK_DESCRIPTION);
        volume->setUserWriteMaskCallback([](const QString &userName) -> quint32 {
            return userName == kUser ? UA_WRITEMASK_DESCRIPTION : 0;
        });
        auto *valve = objects->addChild<TestValve>(QUaQualifiedName(1, "Valve"));
        valve->setUserExecutableCallback(
            [](const QString &userName) { return userName != kAnonymous; });
        QVERIFY(server->start());
        TestClient user;
        TestClient anonymous;
        QCOMPARE(user.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
        QCOMPARE(anonymous.connect(server->port()), UA_STATUSCODE_GOOD);
        const QUaNodeId open = childOf(user, valve->nodeId(), QStringLiteral("open"));
        // User access levels, of a node of the stack's too; user write masks; a call.
        auto rights = [&](TestClient &client) {
            QList<quint32> values;
            for (const QUaNodeId &id :
                 {level->nodeId(), volume->nodeId(), QUaNodeId(0, UA_NS0ID_SERVER_SERVERSTATUS)}) {
                values << client.readAttribute(id, UA_ATTRIBUTEID_USERACCESSLEVEL).toUInt();
            }
            for (const QUaNodeId &id : {level->nodeId(), volume->nodeId()}) {
                values << client.readAttribute(id, UA_ATTRIBUTEID_USERWRITEMASK).toUInt();
            }
            return values << callMethod(client, valve->nodeId(), open).status;
        };
        const quint32 refused = UA_STATUSCODE_BADNOTEXECUTABLE;
        const QList<quint32> anonymousRights{3, 1, 1, UA_WRITEMASK_DISPLAYNAME, 0, refused};
        QCOMPARE(rights(user), (QList<quint32>{3, 3, 1, UA_WRITEMASK_DISPLAYNAME,
                                               UA_WRITEMASK_DESCRIPTION, UA_STATUSCODE_GOOD}));
        QCOMPARE(rights(anonymous), anonymousRights);
        QCOMPARE(user.writeValue(volume->nodeId(), 8), UA_STATUSCODE_GOOD);
        // A removed user loses every right at once; other sessions keep theirs.
        server->removeUser(kUser);
        QCOMPARE(rights(user), (QList<quint32>{0, 0, 0, 0, 0, refused}));
        QVERIFY(user.writeValue(volume->nodeId(), 9) != UA_STATUSCODE_GOOD);
        QCOMPARE(rights(anonymous), anonymousRights);
    }
};

QTEST_MAIN(TestQUaSessions)
#include "tst_quasessions.moc"
