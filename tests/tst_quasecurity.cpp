// Encrypted endpoints with the stack's own encrypting client over loopback:
// which logins each channel takes once encryption is offered, the client trust
// list with its rejected/ folder, and the self-signed application certificate.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <open62541/client_config_default.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/plugin/securitypolicy.h>

#include <memory>

#include "quaserver.h"
#include "support/testclient.h"

// How a test client treats the user name and its password.
enum class Client {
    Plain,         // the stack's defaults, without encryption
    ReadableToken, // sends the password readable whatever the server advertises
    Encrypting,    // encrypts with the test's client certificate
};

Q_DECLARE_METATYPE(UA_MessageSecurityMode)
Q_DECLARE_METATYPE(Client)

namespace
{

const QString kUser = QStringLiteral("operator");
const QString kPassword = QStringLiteral("secret");
const QByteArray kServerUri("urn:test:gateway");
const QByteArray kClientUri("urn:test:client");
const QStringList kNoneAndEncrypted{QStringLiteral("None"), QStringLiteral("Basic256Sha256")};
const QStringList kEncryptedOnly{QStringLiteral("Basic256Sha256")};

void silent(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}

QByteArray toByteArray(const UA_ByteString &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data), int(bytes.length));
}

UA_ByteString byteString(QByteArray &bytes)
{
    return {size_t(bytes.size()), reinterpret_cast<UA_Byte *>(bytes.data())};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::unique_ptr<QUaServer> startedServer(const QStringList &policies, const QString &pki,
                                         bool trustAll)
{
    auto server = std::make_unique<QUaServer>();
    server->setPort(freeLoopbackPort());
    server->setApplicationUri(QString::fromLatin1(kServerUri));
    server->setSecurityPolicies(policies);
    server->setPkiFolder(pki);
    server->setTrustAllClients(trustAll);
    server->addUser(kUser, kPassword);
    return server->start() ? std::move(server) : nullptr;
}

} // namespace

class TestQUaSecurity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loginsFollowTheChannel_data();
    void loginsFollowTheChannel();
    void untrustedClientIsRefusedUntilMovedToTrusted();
    void selfSignedCertificateIsMadeOnceAndKept();

private:
    // Encrypts with the client certificate, on an endpoint of the mode.
    void encrypt(TestClient &client, UA_MessageSecurityMode mode);
    // Sends the password readable on the None endpoint of the server.
    void sendReadableToken(TestClient &client, quint16 port);
    // The certificates that the server's endpoints carry, by security mode.
    QMultiMap<UA_MessageSecurityMode, QByteArray> endpointCertificates(quint16 port);

    QByteArray m_clientCertificate;
    QByteArray m_clientKey;
    QTemporaryDir m_sharedPki; // one server certificate for the login cases
};

void TestQUaSecurity::initTestCase()
{
    QVERIFY(m_sharedPki.isValid());
    UA_String subject = UA_STRING(const_cast<char *>("CN=test client"));
    QByteArray uri = "URI:" + kClientUri;
    UA_String altName = byteString(uri);
    UA_KeyValueMap params = UA_KEYVALUEMAP_NULL;
    UA_UInt16 bits = 2048;
    UA_KeyValueMap_setScalar(&params, UA_QUALIFIEDNAME(0, const_cast<char *>("key-size-bits")),
                             &bits, &UA_TYPES[UA_TYPES_UINT16]);
    UA_ByteString key = UA_BYTESTRING_NULL;
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    const UA_Logger logger{&silent, nullptr, nullptr};
    const UA_StatusCode status = UA_CreateCertificate(
        &logger, &subject, 1, &altName, 1, UA_CERTIFICATEFORMAT_DER, &params, &key, &certificate);
    UA_KeyValueMap_clear(&params);
    m_clientCertificate = toByteArray(certificate);
    m_clientKey = toByteArray(key);
    UA_ByteString_clear(&certificate);
    UA_ByteString_clear(&key);
    QCOMPARE(status, UA_STATUSCODE_GOOD);
}

void TestQUaSecurity::encrypt(TestClient &client, UA_MessageSecurityMode mode)
{
    UA_ClientConfig *config = client.config();
    UA_ClientConfig_setDefaultEncryption(config, byteString(m_clientCertificate),
                                         byteString(m_clientKey), nullptr, 0, nullptr, 0);
    config->logging->log = &silent;
    UA_String_clear(&config->clientDescription.applicationUri);
    config->clientDescription.applicationUri = UA_String_fromChars(kClientUri.constData());
    config->securityMode = mode;
    // Whichever certificate the server shows: the server's trust is under test.
    config->certificateVerification.clear(&config->certificateVerification);
    UA_CertificateVerification_AcceptAll(&config->certificateVerification);
}

// The client encrypts the password as the endpoint's user-name policy says:
// the client's copy of it says None.
void TestQUaSecurity::sendReadableToken(TestClient &client, quint16 port)
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

QMultiMap<UA_MessageSecurityMode, QByteArray> TestQUaSecurity::endpointCertificates(quint16 port)
{
    TestClient client;
    encrypt(client, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
    if (client.connectUser(port, kUser, kPassword) != UA_STATUSCODE_GOOD) {
        return {};
    }
    QMultiMap<UA_MessageSecurityMode, QByteArray> certificates;
    for (UA_EndpointDescription endpoint : client.endpoints(port)) {
        certificates.insert(endpoint.securityMode, toByteArray(endpoint.serverCertificate));
        UA_EndpointDescription_clear(&endpoint);
    }
    return certificates;
}

void TestQUaSecurity::loginsFollowTheChannel_data()
{
    QTest::addColumn<QStringList>("policies");
    QTest::addColumn<Client>("client");
    QTest::addColumn<UA_MessageSecurityMode>("mode");
    QTest::addColumn<bool>("withUser");
    QTest::addColumn<bool>("accepted");

    const auto none = UA_MESSAGESECURITYMODE_NONE;
    const auto sign = UA_MESSAGESECURITYMODE_SIGN;
    const auto encrypted = UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    const auto plain = Client::Plain;
    const auto encrypting = Client::Encrypting;
    QTest::newRow("user, None only") << QStringList{"None"} << plain << none << true << true;
    QTest::newRow("user, readable token on None")
        << kNoneAndEncrypted << Client::ReadableToken << none << true << false;
    QTest::newRow("user, encrypted token on None")
        << kNoneAndEncrypted << encrypting << none << true << true;
    QTest::newRow("user, signed channel")
        << kNoneAndEncrypted << encrypting << sign << true << true;
    QTest::newRow("user, SignAndEncrypt")
        << kEncryptedOnly << encrypting << encrypted << true << true;
    QTest::newRow("anonymous, None listed") << kNoneAndEncrypted << plain << none << false << true;
    QTest::newRow("anonymous, None not listed")
        << kEncryptedOnly << encrypting << encrypted << false << false;
}

void TestQUaSecurity::loginsFollowTheChannel()
{
    QFETCH(QStringList, policies);
    QFETCH(Client, client);
    QFETCH(UA_MessageSecurityMode, mode);
    QFETCH(bool, withUser);
    QFETCH(bool, accepted);

    const auto server = startedServer(policies, m_sharedPki.path(), true);
    QVERIFY(server);
    TestClient testClient;
    if (client == Client::Encrypting) {
        encrypt(testClient, mode);
    } else if (client == Client::ReadableToken) {
        sendReadableToken(testClient, server->port());
    }
    const UA_StatusCode status = withUser ? testClient.connectUser(server->port(), kUser, kPassword)
                                          : testClient.connect(server->port());
    QCOMPARE(status == UA_STATUSCODE_GOOD, accepted);
}

void TestQUaSecurity::untrustedClientIsRefusedUntilMovedToTrusted()
{
    QTemporaryDir pki;
    const auto server = startedServer(kEncryptedOnly, pki.path(), false);
    QVERIFY(server);
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

    server->stop();
    QVERIFY(server->start());
    TestClient afterRestart;
    encrypt(afterRestart, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
    QCOMPARE(afterRestart.connectUser(server->port(), kUser, kPassword), UA_STATUSCODE_GOOD);
}

void TestQUaSecurity::selfSignedCertificateIsMadeOnceAndKept()
{
    QTemporaryDir pki;
    const QString certificatePath = pki.filePath(QStringLiteral("own/cert.der"));
    QByteArray made;
    for (int start = 0; start < 2; ++start) {
        const auto server = startedServer(kEncryptedOnly, pki.path(), true);
        QVERIFY(server);
        const QByteArray stored = readFile(certificatePath);
        QVERIFY(stored.contains(kServerUri));
        if (start == 0) {
            made = stored;
        }
        QCOMPARE(stored, made);
        // Only the encrypted endpoints, each with the stored certificate.
        const auto certificates = endpointCertificates(server->port());
        QCOMPARE(certificates.keys(),
                 (QList<UA_MessageSecurityMode>{UA_MESSAGESECURITYMODE_SIGN,
                                                UA_MESSAGESECURITYMODE_SIGNANDENCRYPT}));
        QCOMPARE(certificates.values(), (QList<QByteArray>{stored, stored}));
    }
}

QTEST_GUILESS_MAIN(TestQUaSecurity)

#include "tst_quasecurity.moc"
