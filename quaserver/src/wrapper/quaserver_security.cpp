// Encrypted endpoints: the security policies and their endpoints, the
// application certificate from the PKI folder (made self-signed when missing),
// the client trust list with its rejected/ folder, and the rule that user
// names travel only encrypted once encryption is offered.

#include "quaserver.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/server_config_default.h>

#include <cstring>
#include <vector>

namespace
{

const QString kNone = QStringLiteral("None");

// A self-signed application certificate lasts this long; its key is this large.
constexpr UA_UInt16 kCertificateDays = 3650;
constexpr UA_UInt16 kKeyBits = 2048;

struct EncryptedPolicy {
    const char *name;
    UA_String uri;
    UA_StatusCode (*add)(UA_ServerConfig *config, const UA_ByteString *certificate,
                         const UA_ByteString *privateKey);
};

// Weakest first.
const EncryptedPolicy kEncryptedPolicies[] = {
    {"Basic256Sha256",
     UA_STRING_STATIC("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"),
     &UA_ServerConfig_addSecurityPolicyBasic256Sha256},
    {"Aes128_Sha256_RsaOaep",
     UA_STRING_STATIC("http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep"),
     &UA_ServerConfig_addSecurityPolicyAes128Sha256RsaOaep},
    {"Aes256_Sha256_RsaPss",
     UA_STRING_STATIC("http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss"),
     &UA_ServerConfig_addSecurityPolicyAes256Sha256RsaPss},
};

const EncryptedPolicy *encryptedPolicy(const QString &name)
{
    for (const EncryptedPolicy &policy : kEncryptedPolicies) {
        if (name == QLatin1String(policy.name)) {
            return &policy;
        }
    }
    return nullptr;
}

bool hasEncryptedPolicy(const QStringList &policies)
{
    for (const QString &name : policies) {
        if (encryptedPolicy(name)) {
            return true;
        }
    }
    return false;
}

UA_StatusCode addEncryptedEndpoints(UA_ServerConfig *config, const EncryptedPolicy &policy,
                                    const UA_ByteString &certificate,
                                    const UA_ByteString &privateKey)
{
    UA_StatusCode status = policy.add(config, &certificate, &privateKey);
    for (UA_MessageSecurityMode mode :
         {UA_MESSAGESECURITYMODE_SIGN, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT}) {
        if (status == UA_STATUSCODE_GOOD) {
            status = UA_ServerConfig_addEndpoint(config, policy.uri, mode);
        }
    }
    return status;
}

// A view of the bytes for the stack, which copies what it keeps.
UA_ByteString byteString(const QByteArray &bytes)
{
    return {size_t(bytes.size()), reinterpret_cast<UA_Byte *>(const_cast<char *>(bytes.data()))};
}

QByteArray toByteArray(const UA_ByteString &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data), int(bytes.length));
}

// The DER blocks of a file's content: each PEM block decoded, or the content
// itself when it is not PEM.
QByteArrayList derBlocks(const QByteArray &content)
{
    static const QByteArray begin("-----BEGIN");
    static const QByteArray end("-----END");
    if (!content.contains(begin)) {
        return content.isEmpty() ? QByteArrayList() : QByteArrayList{content};
    }
    QByteArrayList blocks;
    int from = content.indexOf(begin);
    while (from >= 0) {
        const int bodyStart = content.indexOf('\n', from) + 1;
        const int bodyEnd = content.indexOf(end, bodyStart);
        if (bodyStart <= 0 || bodyEnd < 0) {
            break;
        }
        blocks.append(QByteArray::fromBase64(content.mid(bodyStart, bodyEnd - bodyStart)));
        from = content.indexOf(begin, bodyEnd);
    }
    return blocks;
}

QByteArray readFirstDerBlock(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return derBlocks(file.readAll()).value(0);
}

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.setPermissions(permissions) && file.write(content) == content.size();
}

QString firstExisting(const QDir &folder, const QStringList &names)
{
    for (const QString &name : names) {
        if (QFileInfo::exists(folder.filePath(name))) {
            return folder.filePath(name);
        }
    }
    return QString();
}

// Subject fields are separated by commas and hold key=value pairs.
QByteArray subjectText(const QByteArray &text)
{
    QByteArray cleaned = text;
    cleaned.replace(',', ' ').replace('=', ' ').replace('+', ' ');
    return cleaned.simplified();
}

std::vector<UA_String> toStrings(const QByteArrayList &texts)
{
    std::vector<UA_String> strings;
    for (const QByteArray &text : texts) {
        strings.push_back(byteString(text));
    }
    return strings;
}

// The client certificates the server accepts: those in trusted/ and those
// issued by one in issuers/, checked by the stack's in-memory trust list that
// is read again whenever the folders change, or every certificate with
// trust-all. A refused certificate is copied into rejected/ for the operator.
// The stack owns each instance through the verification's clear callback.
class ClientTrust
{
public:
    static void install(UA_CertificateVerification *verification, const QString &pkiFolder,
                        bool trustAll, const UA_Logger *logger)
    {
        auto *trust = new ClientTrust(pkiFolder, trustAll, logger);
        std::memset(verification, 0, sizeof(*verification));
        verification->context = trust;
        verification->verifyCertificate = &ClientTrust::verifyFromStack;
        verification->verifyApplicationURI = &ClientTrust::verifyUriFromStack;
        verification->getExpirationDate = trust->m_trustList.getExpirationDate;
        verification->getSubjectName = trust->m_trustList.getSubjectName;
        verification->clear = &ClientTrust::clearFromStack;
        verification->logging = logger;
    }

private:
    ClientTrust(const QString &pkiFolder, bool trustAll, const UA_Logger *logger)
        : m_trusted(pkiFolder + QStringLiteral("/trusted")),
          m_issuers(pkiFolder + QStringLiteral("/issuers")),
          m_rejected(pkiFolder + QStringLiteral("/rejected")), m_trustAll(trustAll),
          m_logger(logger)
    {
        reloadIfChanged();
    }

    ~ClientTrust() { clearTrustList(); }

    ClientTrust(const ClientTrust &) = delete;
    ClientTrust &operator=(const ClientTrust &) = delete;

    static ClientTrust *of(const UA_CertificateVerification *verification)
    {
        return static_cast<ClientTrust *>(verification->context);
    }

    static UA_StatusCode verifyFromStack(const UA_CertificateVerification *verification,
                                         const UA_ByteString *certificate)
    {
        return of(verification)->verify(*certificate);
    }

    static UA_StatusCode verifyUriFromStack(const UA_CertificateVerification *verification,
                                            const UA_ByteString *certificate,
                                            const UA_String *applicationUri)
    {
        const UA_CertificateVerification &list = of(verification)->m_trustList;
        return list.verifyApplicationURI
                   ? list.verifyApplicationURI(&list, certificate, applicationUri)
                   : UA_STATUSCODE_BADCERTIFICATEINVALID;
    }

    static void clearFromStack(UA_CertificateVerification *verification)
    {
        delete of(verification);
        std::memset(verification, 0, sizeof(*verification));
    }

    UA_StatusCode verify(const UA_ByteString &certificate)
    {
        if (m_trustAll) {
            return UA_STATUSCODE_GOOD;
        }
        reloadIfChanged();
        const UA_StatusCode status = m_trustList.verifyCertificate(&m_trustList, &certificate);
        if (status != UA_STATUSCODE_GOOD) {
            reject(toByteArray(certificate), status);
        }
        return status;
    }

    void reject(const QByteArray &certificate, UA_StatusCode status) const
    {
        const QString path = m_rejected.filePath(
            QString::fromLatin1(
                QCryptographicHash::hash(certificate, QCryptographicHash::Sha1).toHex()) +
            QStringLiteral(".der"));
        const bool kept =
            writeFile(path, certificate,
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        UA_LOG_WARNING(m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                       "Refused a client certificate (%s)%s%s", UA_StatusCode_name(status),
                       kept ? ", kept as " : ", could not keep it in rejected/",
                       kept ? qPrintable(QDir::toNativeSeparators(path)) : "");
        if (kept) {
            dropOldestRejected();
        }
    }

    // Every client may offer a new certificate without logging in, so the
    // folder keeps only the newest ones.
    void dropOldestRejected() const
    {
        const QFileInfoList files = m_rejected.entryInfoList(QDir::Files, QDir::Time);
        if (files.size() <= kRejectedCap) {
            return;
        }
        for (int i = kRejectedCap; i < files.size(); ++i) {
            QFile::remove(files.at(i).filePath());
        }
        UA_LOG_WARNING(m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                       "rejected/ keeps the newest %d certificates: %d older ones removed",
                       kRejectedCap, int(files.size()) - kRejectedCap);
    }

    // What the folders hold, to notice files put in or taken out.
    static QStringList contentsOf(const QDir &folder)
    {
        QStringList contents;
        const QFileInfoList files = folder.entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo &file : files) {
            contents << file.fileName() + QLatin1Char('|') + QString::number(file.size()) +
                            QLatin1Char('|') +
                            QString::number(file.lastModified().toMSecsSinceEpoch());
        }
        return contents;
    }

    static QByteArrayList certificatesIn(const QDir &folder)
    {
        QByteArrayList certificates;
        const QFileInfoList files =
            folder.entryInfoList({QStringLiteral("*.der"), QStringLiteral("*.pem"),
                                  QStringLiteral("*.crt"), QStringLiteral("*.cer")},
                                 QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo &file : files) {
            QFile content(file.filePath());
            if (content.open(QIODevice::ReadOnly)) {
                certificates += derBlocks(content.readAll());
            }
        }
        return certificates;
    }

    void reloadIfChanged()
    {
        const QStringList contents = contentsOf(m_trusted) + contentsOf(m_issuers);
        if (m_trustList.verifyCertificate && contents == m_contents) {
            return;
        }
        m_contents = contents;
        clearTrustList();
        const QByteArrayList trusted = certificatesIn(m_trusted);
        const QByteArrayList issuers = certificatesIn(m_issuers);
        const std::vector<UA_ByteString> trustedList = toStrings(trusted);
        const std::vector<UA_ByteString> issuerList = toStrings(issuers);
        const UA_StatusCode status = UA_CertificateVerification_Trustlist(
            &m_trustList, trustedList.data(), trustedList.size(), issuerList.data(),
            issuerList.size(), nullptr, 0);
        if (status != UA_STATUSCODE_GOOD) {
            UA_LOG_ERROR(m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                         "Could not read the client trust list (%s): every client is refused",
                         UA_StatusCode_name(status));
            clearTrustList();
            // An empty list, which refuses every certificate.
            UA_CertificateVerification_Trustlist(&m_trustList, nullptr, 0, nullptr, 0, nullptr, 0);
        }
    }

    void clearTrustList()
    {
        if (m_trustList.clear) {
            m_trustList.clear(&m_trustList);
        }
        std::memset(&m_trustList, 0, sizeof(m_trustList));
        m_trustList.logging = m_logger;
    }

    const QDir m_trusted;
    const QDir m_issuers;
    static constexpr int kRejectedCap = 100;
    const QDir m_rejected;
    const bool m_trustAll;
    const UA_Logger *m_logger;
    UA_CertificateVerification m_trustList{}; // the stack's, owned here
    QStringList m_contents;
};

} // namespace

QStringList QUaServer::supportedSecurityPolicies()
{
    QStringList names{kNone};
    for (const EncryptedPolicy &policy : kEncryptedPolicies) {
        names << QLatin1String(policy.name);
    }
    return names;
}

void QUaServer::setSecurityPolicies(const QStringList &policies)
{
    const QStringList supported = supportedSecurityPolicies();
    m_securityPolicies.clear();
    for (const QString &name : policies) {
        if (supported.contains(name) && !m_securityPolicies.contains(name)) {
            m_securityPolicies << name;
        }
    }
}

void QUaServer::setPkiFolder(const QString &folder)
{
    m_pkiFolder = folder;
}

void QUaServer::setTrustAllClients(bool trustAll)
{
    m_trustAllClients = trustAll;
}

bool QUaServer::offersEncryption() const
{
    return hasEncryptedPolicy(m_securityPolicies);
}

bool QUaServer::isAnonymousLoginOffered() const
{
    return m_anonymousLoginAllowed && m_securityPolicies.contains(kNone);
}

// Clients on the None endpoint encrypt their password for the strongest policy offered.
const UA_String *QUaServer::userTokenPolicyUri() const
{
    const EncryptedPolicy *strongest = nullptr;
    for (const EncryptedPolicy &policy : kEncryptedPolicies) {
        if (m_securityPolicies.contains(QLatin1String(policy.name))) {
            strongest = &policy;
        }
    }
    return strongest ? &strongest->uri : nullptr;
}

// The policies and endpoints are made again only when the offered policies or
// the certificate changed since they were made.
bool QUaServer::applySecurityConfig(UA_ServerConfig *config)
{
    if (m_securityPolicies.isEmpty()) {
        UA_LOG_ERROR(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                     "No security policy to offer: the server does not start");
        return false;
    }
    QByteArray certificate = m_certificate;
    QByteArray privateKey;
    if (offersEncryption() && !readApplicationCertificate(&certificate, &privateKey)) {
        return false;
    }
    if (certificate == m_certificateInUse && m_securityPolicies == m_securityPoliciesInUse) {
        return true;
    }
    return replaceSecurityPolicies(config, certificate, privateKey);
}

bool QUaServer::readApplicationCertificate(QByteArray *certificate, QByteArray *privateKey)
{
    if (m_pkiFolder.isEmpty()) {
        UA_LOG_ERROR(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                     "Encryption needs a PKI folder: the server does not start");
        return false;
    }
    const QDir pki(m_pkiFolder);
    for (const char *folder : {"own", "trusted", "issuers", "rejected"}) {
        pki.mkpath(QLatin1String(folder));
    }
    const QDir own(pki.filePath(QStringLiteral("own")));
    QString certificatePath =
        firstExisting(own, {QStringLiteral("cert.der"), QStringLiteral("cert.pem")});
    QString keyPath = firstExisting(own, {QStringLiteral("key.der"), QStringLiteral("key.pem")});
    if (certificatePath.isEmpty() && keyPath.isEmpty()) {
        certificatePath = own.filePath(QStringLiteral("cert.der"));
        keyPath = own.filePath(QStringLiteral("key.der"));
        if (!createApplicationCertificate(certificatePath, keyPath)) {
            return false;
        }
    }
    *certificate = readFirstDerBlock(certificatePath);
    *privateKey = readFirstDerBlock(keyPath);
    if (certificate->isEmpty() || privateKey->isEmpty()) {
        UA_LOG_ERROR(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                     "The application certificate needs both cert.der (or .pem) and key.der "
                     "(or .pem) in %s",
                     qPrintable(QDir::toNativeSeparators(own.path())));
        return false;
    }
    return true;
}

// Self-signed, for the application URI and this host.
bool QUaServer::createApplicationCertificate(const QString &certificatePath, const QString &keyPath)
{
    const QByteArrayList subject{"CN=" + subjectText(m_applicationName),
                                 "O=" + subjectText(m_manufacturerName)};
    QByteArrayList altNames{"URI:" + m_applicationUri, "DNS:localhost"};
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    if (!host.isEmpty() && host != "localhost") {
        altNames << "DNS:" + host;
    }
    const std::vector<UA_String> subjectStrings = toStrings(subject);
    const std::vector<UA_String> altNameStrings = toStrings(altNames);
    UA_KeyValueMap params = UA_KEYVALUEMAP_NULL;
    UA_UInt16 days = kCertificateDays;
    UA_UInt16 bits = kKeyBits;
    UA_KeyValueMap_setScalar(&params, UA_QUALIFIEDNAME(0, const_cast<char *>("expires-in-days")),
                             &days, &UA_TYPES[UA_TYPES_UINT16]);
    UA_KeyValueMap_setScalar(&params, UA_QUALIFIEDNAME(0, const_cast<char *>("key-size-bits")),
                             &bits, &UA_TYPES[UA_TYPES_UINT16]);
    UA_ByteString key = UA_BYTESTRING_NULL;
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    const UA_StatusCode status = UA_CreateCertificate(
        &m_logger, subjectStrings.data(), subjectStrings.size(), altNameStrings.data(),
        altNameStrings.size(), UA_CERTIFICATEFORMAT_DER, &params, &key, &certificate);
    UA_KeyValueMap_clear(&params);
    const bool stored =
        status == UA_STATUSCODE_GOOD &&
        writeFile(keyPath, toByteArray(key), QFile::ReadOwner | QFile::WriteOwner) &&
        writeFile(certificatePath, toByteArray(certificate),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    UA_ByteString_clear(&key);
    UA_ByteString_clear(&certificate);
    if (stored) {
        UA_LOG_INFO(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                    "Created a self-signed application certificate: %s",
                    qPrintable(QDir::toNativeSeparators(certificatePath)));
    } else {
        UA_LOG_ERROR(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                     "Could not create the application certificate %s (%s)",
                     qPrintable(QDir::toNativeSeparators(certificatePath)),
                     UA_StatusCode_name(status));
    }
    return stored;
}

// The None policy is always there: clients look for the encrypted endpoints
// through it. Its endpoint exists only when "None" is offered.
bool QUaServer::replaceSecurityPolicies(UA_ServerConfig *config, const QByteArray &certificate,
                                        const QByteArray &privateKey)
{
    for (size_t i = 0; i < config->securityPoliciesSize; ++i) {
        config->securityPolicies[i].clear(&config->securityPolicies[i]);
    }
    UA_free(config->securityPolicies);
    config->securityPolicies = nullptr;
    config->securityPoliciesSize = 0;
    UA_Array_delete(config->endpoints, config->endpointsSize,
                    &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
    config->endpoints = nullptr;
    config->endpointsSize = 0;
    m_certificateInUse = certificate;
    m_securityPoliciesInUse.clear(); // made again at the next start unless complete

    const UA_ByteString stackCertificate = byteString(certificate);
    const UA_ByteString stackKey = byteString(privateKey);
    UA_StatusCode status = UA_ServerConfig_addSecurityPolicyNone(
        config, certificate.isEmpty() ? nullptr : &stackCertificate);
    config->securityPolicyNoneDiscoveryOnly = !m_securityPolicies.contains(kNone);
    for (int i = 0; i < m_securityPolicies.size() && status == UA_STATUSCODE_GOOD; ++i) {
        const EncryptedPolicy *policy = encryptedPolicy(m_securityPolicies.at(i));
        status = policy ? addEncryptedEndpoints(config, *policy, stackCertificate, stackKey)
                        : UA_ServerConfig_addEndpoint(config, UA_SECURITY_POLICY_NONE_URI,
                                                      UA_MESSAGESECURITYMODE_NONE);
    }
    if (status != UA_STATUSCODE_GOOD) {
        UA_LOG_ERROR(&m_logger, UA_LOGCATEGORY_SECURITYPOLICY,
                     "Could not set up the security policies (%s): the server does not start",
                     UA_StatusCode_name(status));
        return false;
    }
    m_securityPoliciesInUse = m_securityPolicies;
    return true;
}

void QUaServer::installClientTrust(UA_ServerConfig *config)
{
    if (!offersEncryption()) {
        return;
    }
    for (UA_CertificateVerification *verification :
         {&config->secureChannelPKI, &config->sessionPKI}) {
        if (verification->clear) {
            verification->clear(verification);
        }
        ClientTrust::install(verification, m_pkiFolder, m_trustAllClients, &m_logger);
    }
}

// Once encryption is offered, a password crosses the network only encrypted:
// on a SignAndEncrypt channel, or in a token encrypted for the server.
bool QUaServer::isLoginSecure(const UA_EndpointDescription *endpoint,
                              const UA_ExtensionObject &token) const
{
    if (!hasEncryptedPolicy(m_securityPoliciesInUse) ||
        token.encoding < UA_EXTENSIONOBJECT_DECODED ||
        token.content.decoded.type != &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]) {
        return true;
    }
    if (endpoint && endpoint->securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT) {
        return true;
    }
    const auto *login = static_cast<const UA_UserNameIdentityToken *>(token.content.decoded.data);
    if (login->encryptionAlgorithm.length > 0) {
        return true;
    }
    UA_LOG_WARNING(&m_logger, UA_LOGCATEGORY_SESSION,
                   "Refused a user-name login with a readable password");
    return false;
}
