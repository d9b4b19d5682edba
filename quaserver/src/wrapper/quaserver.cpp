#include "quaserver.h"

#include <QMetaMethod>
#include <QUuid>

#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/server_config_default.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quasession.h"
#include "quastack.h"

namespace
{

// Longest wait between two iterations while the sockets are watched: it bounds
// how late the stack runs work that no socket announces (delayed clean-ups).
constexpr int kMaxWaitWatchedMs = 20;
// Longest wait when no socket could be watched and the network must be polled.
constexpr int kMaxWaitPolledMs = 2;

void discardStackLog(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}

// Formats into the buffer and returns the length of the text, which never
// exceeds the buffer and never ends inside a UTF-8 sequence.
int formatIntoBuffer(QByteArray &buffer, const char *format, va_list args)
{
    const int written = std::vsnprintf(buffer.data(), size_t(buffer.size()), format, args);
    if (written < 0) {
        return 0;
    }
    int length = qMin(written, buffer.size() - 1);
    if (written > length) {
        int lead = length - 1;
        while (lead > 0 && (uchar(buffer.at(lead)) & 0xC0) == 0x80) {
            --lead;
        }
        const uchar leadByte = uchar(buffer.at(lead));
        const int sequenceLength = leadByte >= 0xF0   ? 4
                                   : leadByte >= 0xE0 ? 3
                                   : leadByte >= 0xC0 ? 2
                                                      : 1;
        if (lead + sequenceLength > length) {
            length = lead;
        }
    }
    return int(qstrnlen(buffer.constData(), uint(length)));
}

// Whether a socket listens on the port already (of any address family the
// machine has). The stack binds its listen sockets so that they may share a
// port with another listening process, which would then get half the clients;
// a probe without that sharing sees the other listener, and not the closed
// connections that a restart on the same port leaves behind.
bool isPortListenedOn(quint16 port)
{
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    any4.sin_port = htons(port);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(port);
    const std::pair<const sockaddr *, socklen_t> addresses[] = {
        {reinterpret_cast<const sockaddr *>(&any4), socklen_t(sizeof(any4))},
        {reinterpret_cast<const sockaddr *>(&any6), socklen_t(sizeof(any6))}};
    for (const auto &address : addresses) {
        const int probe = ::socket(address.first->sa_family, SOCK_STREAM, 0);
        if (probe < 0) {
            continue; // no such address family here
        }
        const int on = 1;
        ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (address.first->sa_family == AF_INET6) {
            ::setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        }
        const bool taken = ::bind(probe, address.first, address.second) != 0 && errno == EADDRINUSE;
        ::close(probe);
        if (taken) {
            return true;
        }
    }
    return false;
}

QByteArray toByteArray(const UA_String &string)
{
    return QByteArray(reinterpret_cast<const char *>(string.data), int(string.length));
}

// Replaces a configuration string by a fresh copy of the bytes up to the first NUL.
void replaceString(UA_String &target, const QByteArray &bytes)
{
    UA_String_clear(&target);
    target = UA_String_fromChars(bytes.constData());
}

void replaceLocalizedText(UA_LocalizedText &target, const QByteArray &text)
{
    UA_LocalizedText_clear(&target);
    target.text = UA_String_fromChars(text.constData());
}

QString textUpToNul(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData());
}

} // namespace

QUaServer::QUaServer(QObject *parent) : QObject(parent), m_logger{&discardStackLog, this, nullptr}
{
    m_logBuffer.resize(1024);
    QUa::registerMetaTypes();
    qRegisterMetaType<QUaLog>("QUaLog");
    qRegisterMetaType<QUaReferenceType>("QUaReferenceType");
    qRegisterMetaType<const QUaSession *>("const QUaSession*");
    m_server = newStackServer();
    Q_CHECK_PTR(m_server);
    m_iterationTimer.setSingleShot(true);
    m_iterationTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_iterationTimer, &QTimer::timeout, this, &QUaServer::iterateServer);
    connect(&m_networkWatcher, &QUaNetworkWatcher::activity, this, &QUaServer::onNetworkActivity);
    setupServer();
}

QUaServer::~QUaServer()
{
    stop();
    deleteChildren();
    UA_Server_delete(m_server);
}

// The stack keeps the logger by pointer (its event loop and security policies
// too), so the configuration is built around the server's own logger before
// the stack server exists; it stays silent until the bridge is installed.
UA_Server *QUaServer::newStackServer()
{
    UA_ServerConfig config;
    std::memset(&config, 0, sizeof(config));
    config.logging = &m_logger;
    UA_ServerConfig_setMinimalCustomBuffer(&config, m_port, nullptr, 0, 0);
    config.context = this;
    return UA_Server_newWithConfig(&config);
}

QUaServer *QUaServer::fromStack(UA_Server *server)
{
    return static_cast<QUaServer *>(UA_Server_getConfig(server)->context);
}

void QUaServer::setupServer()
{
    const UA_NodeId objectsFolderId = UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER);
    m_objectsFolder = static_cast<QUaFolderObject *>(
        newNodeObject(QUaFolderObject::staticMetaObject, &objectsFolderId));
    m_objectsFolder->setParent(this);
    m_objectsFolder->setObjectName(QStringLiteral("Objects"));

    registerBuiltInType(QUaBaseVariable::staticMetaObject,
                        UA_NODEID_NUMERIC(0, UA_NS0ID_BASEVARIABLETYPE), false);
    registerBuiltInType(QUaBaseDataVariable::staticMetaObject,
                        UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), true);
    registerBuiltInType(QUaProperty::staticMetaObject, UA_NODEID_NUMERIC(0, UA_NS0ID_PROPERTYTYPE),
                        true);
    registerBuiltInType(QUaBaseObject::staticMetaObject,
                        UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), true);
    registerBuiltInType(QUaFolderObject::staticMetaObject,
                        UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), true);

    m_hashHierarchicalRefs = {
        {{"Organizes", "OrganizedBy"}, QUaNodeId(0, UA_NS0ID_ORGANIZES)},
        {{"HasOrderedComponent", "OrderedComponentOf"}, QUaNodeId(0, UA_NS0ID_HASORDEREDCOMPONENT)},
        {{"HasComponent", "ComponentOf"}, QUaNodeId(0, UA_NS0ID_HASCOMPONENT)},
        {{"HasProperty", "PropertyOf"}, QUaNodeId(0, UA_NS0ID_HASPROPERTY)},
    };
    m_hashRefTypes.insert(m_hashHierarchicalRefs);

    UA_ServerConfig *config = UA_Server_getConfig(m_server);
    config->nodeLifecycle.generateChildNodeId = &QUaServer::childNodeIdFromStack;
    m_logger.log = &QUaServer::logFromStack;
    readDefaultsFromConfig();
}

void QUaServer::readDefaultsFromConfig()
{
    const UA_ServerConfig *config = UA_Server_getConfig(m_server);
    m_applicationName = toByteArray(config->applicationDescription.applicationName.text);
    m_applicationUri = toByteArray(config->applicationDescription.applicationUri);
    m_productName = toByteArray(config->buildInfo.productName);
    m_productUri = toByteArray(config->buildInfo.productUri);
    m_manufacturerName = toByteArray(config->buildInfo.manufacturerName);
    m_softwareVersion = toByteArray(config->buildInfo.softwareVersion);
    m_buildNumber = toByteArray(config->buildInfo.buildNumber);
    m_maxSecureChannels = config->maxSecureChannels;
    m_maxSessions = config->maxSessions;
}

bool QUaServer::applyConfig()
{
    UA_ServerConfig *config = UA_Server_getConfig(m_server);
    applyNetworkConfig(config);
    if (!applySecurityConfig(config)) {
        return false;
    }
    installAccessControl(config);
    installClientTrust(config);
    applyDescriptionConfig(config);
    return true;
}

// The stack listens on the ports of its server URLs; an empty host name means
// every interface.
void QUaServer::applyNetworkConfig(UA_ServerConfig *config)
{
    UA_Array_delete(config->serverUrls, config->serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    config->serverUrls = static_cast<UA_String *>(UA_Array_new(1, &UA_TYPES[UA_TYPES_STRING]));
    config->serverUrlsSize = 1;
    config->serverUrls[0] =
        UA_String_fromChars(QStringLiteral("opc.tcp://:%1").arg(m_port).toUtf8().constData());
    config->maxSecureChannels = m_maxSecureChannels;
    config->maxSessions = m_maxSessions;
}

// The default access control advertises the token policies; the server's own
// callbacks decide every login and every right.
void QUaServer::installAccessControl(UA_ServerConfig *config)
{
    if (config->accessControl.clear) {
        config->accessControl.clear(&config->accessControl);
    }
    // Without this the stack drops the user-name policy from the None endpoint;
    // with encryption, user names travel only encrypted.
    config->allowNonePolicyPassword = !offersEncryption();
    // The user-name policy is advertised only when the default access control
    // gets a login. Logins are checked by activateSession against the users
    // table, so this one is never consulted; its password is random anyway.
    const QByteArray placeholderPassword = QUuid::createUuid().toByteArray();
    UA_UsernamePasswordLogin placeholder;
    placeholder.username = UA_STRING(const_cast<char *>("open62541-username-placeholder"));
    placeholder.password = UA_STRING(const_cast<char *>(placeholderPassword.constData()));
    m_anonymousLoginAllowedInUse = isAnonymousLoginOffered();
    UA_AccessControl_default(config, m_anonymousLoginAllowedInUse, userTokenPolicyUri(), 1,
                             &placeholder);

    UA_AccessControl &accessControl = config->accessControl;
    accessControl.activateSession = &QUaServer::activateSession;
    accessControl.closeSession = &QUaServer::closeSession;
    accessControl.getUserRightsMask = &QUaServer::getUserRightsMask;
    accessControl.getUserAccessLevel = &QUaServer::getUserAccessLevel;
    accessControl.getUserExecutable = &QUaServer::getUserExecutable;
    accessControl.getUserExecutableOnObject = &QUaServer::getUserExecutableOnObject;
    installNodeManagementChecks(accessControl);
}

void QUaServer::applyDescriptionConfig(UA_ServerConfig *config)
{
    UA_ApplicationDescription &description = config->applicationDescription;
    replaceLocalizedText(description.applicationName, m_applicationName);
    replaceString(description.applicationUri, m_applicationUri);
    replaceString(description.productUri, m_productUri);
    // The stack adds the discovery URL of the port it listens on at start-up;
    // the one of an earlier port must not stay behind.
    UA_Array_delete(description.discoveryUrls, description.discoveryUrlsSize,
                    &UA_TYPES[UA_TYPES_STRING]);
    description.discoveryUrls = nullptr;
    description.discoveryUrlsSize = 0;

    UA_BuildInfo &buildInfo = config->buildInfo;
    replaceString(buildInfo.productUri, m_productUri);
    replaceString(buildInfo.manufacturerName, m_manufacturerName);
    replaceString(buildInfo.productName, m_productName);
    replaceString(buildInfo.softwareVersion, m_softwareVersion);
    replaceString(buildInfo.buildNumber, m_buildNumber);

    for (size_t i = 0; i < config->endpointsSize; ++i) {
        UA_ApplicationDescription_clear(&config->endpoints[i].server);
        UA_ApplicationDescription_copy(&description, &config->endpoints[i].server);
    }
}

bool QUaServer::start()
{
    if (m_running) {
        return true;
    }
    m_lastError.clear();
    if (isPortListenedOn(m_port)) {
        m_lastError = QStringLiteral("another program listens on the port");
        return false;
    }
    if (!applyConfig()) {
        return false;
    }
    m_connectionTracker.attach(UA_Server_getConfig(m_server)->eventLoop);
    const UA_StatusCode status = UA_Server_run_startup(m_server);
    if (status != UA_STATUSCODE_GOOD) {
        m_lastError = QStringLiteral("the stack did not start: %1")
                          .arg(QLatin1String(UA_StatusCode_name(status)));
        UA_Server_run_shutdown(m_server);
        return false;
    }
    m_running = true;
    m_iterationTimer.start(0);
    emit isRunningChanged(true);
    return true;
}

void QUaServer::stop()
{
    if (!m_running) {
        return;
    }
    if (m_iterating) {
        // Called from a slot inside a stack callback: the stack cannot shut
        // down from within its own iteration.
        QMetaObject::invokeMethod(this, &QUaServer::stop, Qt::QueuedConnection);
        return;
    }
    m_running = false;
    m_iterationTimer.stop();
    closeAllSessions();
    UA_Server_run_shutdown(m_server);
    emit isRunningChanged(false);
}

void QUaServer::setIsRunning(bool running)
{
    if (running) {
        start();
    } else {
        stop();
    }
}

// The stack's shutdown closes the network connections but keeps the sessions;
// each is closed here so that it passes through closeSession.
void QUaServer::closeAllSessions()
{
    UA_ReadValueId item;
    UA_ReadValueId_init(&item);
    item.nodeId = UA_NODEID_NUMERIC(
        0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SESSIONSDIAGNOSTICSSUMMARY_SESSIONDIAGNOSTICSARRAY);
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    UA_DataValue sessions = UA_Server_read(m_server, &item, UA_TIMESTAMPSTORETURN_NEITHER);
    if (sessions.value.type == &UA_TYPES[UA_TYPES_SESSIONDIAGNOSTICSDATATYPE]) {
        const auto *diagnostics =
            static_cast<const UA_SessionDiagnosticsDataType *>(sessions.value.data);
        for (size_t i = 0; i < sessions.value.arrayLength; ++i) {
            UA_Server_closeSession(m_server, &diagnostics[i].sessionId);
        }
    }
    UA_DataValue_clear(&sessions);
}

// Children go one at a time, the first remaining each time, so that node
// objects delete their stack nodes while the stack still exists.
void QUaServer::deleteChildren()
{
    while (!children().isEmpty()) {
        delete children().first();
    }
}

void QUaServer::iterateServer()
{
    if (!m_running || m_iterating) {
        return;
    }
    m_iterating = true;
    const int msToNextEvent = UA_Server_run_iterate(m_server, false);
    m_iterating = false;
    m_networkWatcher.setSuspended(false);
    if (m_running) {
        const int maxWait = m_networkWatcher.isWatching() ? kMaxWaitWatchedMs : kMaxWaitPolledMs;
        m_iterationTimer.start(qMin(msToNextEvent, maxWait));
    }
}

void QUaServer::onNetworkActivity()
{
    if (m_iterating) {
        // A nested event loop inside a stack callback: the socket waits for the
        // running iteration, and must not wake this loop over and over meanwhile.
        m_networkWatcher.setSuspended(true);
        return;
    }
    iterateServer();
}

void QUaServer::logFromStack(void *context, UA_LogLevel level, UA_LogCategory category,
                             const char *format, va_list args)
{
    static_cast<QUaServer *>(context)->emitStackLog(level, category, format, args);
}

void QUaServer::emitStackLog(UA_LogLevel level, UA_LogCategory category, const char *format,
                             va_list args)
{
    static const QMetaMethod logSignal = QMetaMethod::fromSignal(&QUaServer::logMessage);
    if (!isSignalConnected(logSignal)) {
        return;
    }
    const int length = formatIntoBuffer(m_logBuffer, format, args);
    emit logMessage(QUaLog(QString::fromUtf8(m_logBuffer.constData(), length),
                           QUa::logLevelFromUa(level), QUa::logCategoryFromUa(category)));
}

QUaNode *QUaServer::nodeById(const QUaNodeId &nodeId) const
{
    return nodeObjectOf(QUaStack::ScopedNodeId(nodeId));
}

void QUaServer::setChildNodeIdCallback(const ChildNodeIdCallback &callback)
{
    m_childNodeIdCallback = callback;
}

void QUaServer::setPort(quint16 port)
{
    m_port = port;
    emit portChanged(port);
}

void QUaServer::setCertificate(const QByteArray &byteCertificate)
{
    m_certificate = byteCertificate;
    emit certificateChanged(byteCertificate);
}

void QUaServer::setMaxSecureChannels(quint16 maxSecureChannels)
{
    m_maxSecureChannels = maxSecureChannels;
    emit maxSecureChannelsChanged(maxSecureChannels);
}

void QUaServer::setMaxSessions(quint16 maxSessions)
{
    m_maxSessions = maxSessions;
    emit maxSessionsChanged(maxSessions);
}

void QUaServer::setAnonymousLoginAllowed(bool anonymousLoginAllowed)
{
    m_anonymousLoginAllowed = anonymousLoginAllowed;
    emit anonymousLoginAllowedChanged(anonymousLoginAllowed);
}

QString QUaServer::applicationName() const
{
    return textUpToNul(m_applicationName);
}

void QUaServer::setApplicationName(const QString &strApplicationName)
{
    m_applicationName = strApplicationName.toUtf8();
    emit applicationNameChanged(strApplicationName);
}

QString QUaServer::applicationUri() const
{
    return textUpToNul(m_applicationUri);
}

void QUaServer::setApplicationUri(const QString &strApplicationUri)
{
    m_applicationUri = strApplicationUri.toUtf8();
    emit applicationUriChanged(strApplicationUri);
}

QString QUaServer::productName() const
{
    return textUpToNul(m_productName);
}

void QUaServer::setProductName(const QString &strProductName)
{
    m_productName = strProductName.toUtf8();
    emit productNameChanged(strProductName);
}

QString QUaServer::productUri() const
{
    return textUpToNul(m_productUri);
}

void QUaServer::setProductUri(const QString &strProductUri)
{
    m_productUri = strProductUri.toUtf8();
    emit productUriChanged(strProductUri);
}

QString QUaServer::manufacturerName() const
{
    return textUpToNul(m_manufacturerName);
}

void QUaServer::setManufacturerName(const QString &strManufacturerName)
{
    m_manufacturerName = strManufacturerName.toUtf8();
    emit manufacturerNameChanged(strManufacturerName);
}

QString QUaServer::softwareVersion() const
{
    return textUpToNul(m_softwareVersion);
}

void QUaServer::setSoftwareVersion(const QString &strSoftwareVersion)
{
    m_softwareVersion = strSoftwareVersion.toUtf8();
    emit softwareVersionChanged(strSoftwareVersion);
}

QString QUaServer::buildNumber() const
{
    return textUpToNul(m_buildNumber);
}

void QUaServer::setBuildNumber(const QString &strBuildNumber)
{
    m_buildNumber = strBuildNumber.toUtf8();
    emit buildNumberChanged(strBuildNumber);
}
