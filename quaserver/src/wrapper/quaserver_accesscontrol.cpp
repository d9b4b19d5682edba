// Who may open a session and what a session may do: the users table, the
// session records and the callbacks the server puts into the stack's access
// control at every start.

#include "quaserver.h"

#include "quabaseobject.h"
#include "quabasevariable.h"
#include "quasession.h"

#include <QDateTime>
#include <algorithm>
#include <cstring>

namespace
{

const QStringList &anonymousNames()
{
    static const QStringList names{QObject::tr("[Anonymous]"),
                                   QObject::tr("[Anonymous:EmptyToken]")};
    return names;
}

// The stack appends the endpoint's security mode and policy to the policy ids
// it advertises, and clients echo the advertised id.
bool hasPolicyPrefix(const UA_String &policyId, const char *prefix)
{
    const size_t length = qstrlen(prefix);
    return policyId.length >= length && std::memcmp(policyId.data, prefix, length) == 0;
}

QString toQString(const UA_String &string)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(string.data), int(string.length));
}

const UA_DataType *tokenType(const UA_ExtensionObject &token)
{
    return token.encoding >= UA_EXTENSIONOBJECT_DECODED ? token.content.decoded.type : nullptr;
}

} // namespace

void QUaServer::addUser(const QString &userName, const QString &password)
{
    if (!userName.isEmpty()) {
        m_hashUsers.insert(userName, password);
    }
}

void QUaServer::removeUser(const QString &userName)
{
    if (!userName.isEmpty()) {
        m_hashUsers.remove(userName);
    }
}

bool QUaServer::userExists(const QString &userName) const
{
    if (userName.isEmpty()) {
        return false;
    }
    return anonymousNames().contains(userName) || m_hashUsers.contains(userName);
}

void QUaServer::setUserValidationCallback(const UserValidationCallback &callback)
{
    m_userValidationCallback = callback;
}

bool QUaServer::isValidLogin(const QString &userName, const QString &password) const
{
    if (m_userValidationCallback) {
        return m_userValidationCallback(userName, password);
    }
    // An empty entry stands for a user a replaced check accepted: it has no
    // password of its own to match.
    const auto user = m_hashUsers.constFind(userName);
    return user != m_hashUsers.constEnd() && !user->isEmpty() && *user == password;
}

UA_StatusCode QUaServer::activateSession(UA_Server *server, UA_AccessControl *,
                                         const UA_EndpointDescription *endpointDescription,
                                         const UA_ByteString *, const UA_NodeId *sessionId,
                                         const UA_ExtensionObject *userIdentityToken,
                                         void **sessionContext)
{
    QUaServer *self = fromStack(server);
    if (!self) {
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    *sessionContext = nullptr;
    if (!self->isLoginSecure(endpointDescription, *userIdentityToken)) {
        return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
    }
    return self->activateSessionToken(*sessionId, *userIdentityToken);
}

UA_StatusCode QUaServer::activateSessionToken(const UA_NodeId &sessionId,
                                              const UA_ExtensionObject &token)
{
    QString userName;
    if (token.encoding == UA_EXTENSIONOBJECT_ENCODED_NOBODY) {
        if (!m_anonymousLoginAllowedInUse) {
            return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
        }
        userName = anonymousNames().at(1);
    } else if (tokenType(token) == &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN]) {
        const auto *anonymous =
            static_cast<const UA_AnonymousIdentityToken *>(token.content.decoded.data);
        if (!m_anonymousLoginAllowedInUse ||
            (anonymous->policyId.data &&
             !hasPolicyPrefix(anonymous->policyId, "open62541-anonymous-policy"))) {
            return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
        }
        userName = anonymousNames().at(0);
    } else if (tokenType(token) == &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]) {
        const UA_StatusCode status = checkUserNameLogin(
            *static_cast<const UA_UserNameIdentityToken *>(token.content.decoded.data), &userName);
        if (status != UA_STATUSCODE_GOOD) {
            return status;
        }
    } else {
        return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
    }
    QUaSession *session = sessionFor(sessionId);
    session->m_userName = userName;
    fillSession(session, sessionId);
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode QUaServer::checkUserNameLogin(const UA_UserNameIdentityToken &login,
                                            QString *userName)
{
    if (!hasPolicyPrefix(login.policyId, "open62541-username-policy") ||
        (login.userName.length == 0 && login.password.length == 0)) {
        return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
    }
    const QString name = toQString(login.userName);
    const QString address =
        QUaConnectionTracker::peerOf(m_connectionTracker.servedConnection()).address;
    if (isLoginPaused(address)) {
        return UA_STATUSCODE_BADUSERACCESSDENIED;
    }
    if (!isValidLogin(name, toQString(login.password))) {
        noteFailedLogin(address);
        return UA_STATUSCODE_BADUSERACCESSDENIED;
    }
    m_failedLogins.remove(address);
    // A user that a replaced check accepted must count as a valid user when
    // the session's rights are asked.
    if (!m_hashUsers.contains(name)) {
        m_hashUsers.insert(name, QString());
    }
    *userName = name;
    return UA_STATUSCODE_GOOD;
}

// After a few wrong passwords from one address, its next logins are refused
// unchecked for a pause that doubles with every further failure, so guessing
// passwords gets slow while the server keeps serving everyone else.
bool QUaServer::isLoginPaused(const QString &address) const
{
    const auto failed = m_failedLogins.constFind(address);
    return failed != m_failedLogins.constEnd() &&
           QDateTime::currentMSecsSinceEpoch() < failed->pausedUntilMs;
}

void QUaServer::noteFailedLogin(const QString &address)
{
    constexpr int kFreeFailures = 3;
    constexpr qint64 kFirstPauseMs = 1000;
    constexpr qint64 kLongestPauseMs = 30000;
    constexpr int kAddressesKept = 4096;
    if (m_failedLogins.size() >= kAddressesKept && !m_failedLogins.contains(address)) {
        m_failedLogins.clear();
    }
    FailedLogins &failed = m_failedLogins[address];
    ++failed.count;
    if (failed.count < kFreeFailures) {
        return;
    }
    const int doublings = std::min(failed.count - kFreeFailures, 5);
    failed.pausedUntilMs =
        QDateTime::currentMSecsSinceEpoch() + std::min(kFirstPauseMs << doublings, kLongestPauseMs);
}

QUaSession *QUaServer::sessionFor(const UA_NodeId &sessionId)
{
    const QUaNodeId id(sessionId);
    QUaSession *session = m_hashSessions.value(id);
    if (!session) {
        session = new QUaSession(this);
        m_hashSessions.insert(id, session);
    }
    return session;
}

// The session is activated by a request of the client whose connection the
// tracker reports; without one the session has no channel to describe.
void QUaServer::fillSession(QUaSession *session, const UA_NodeId &sessionId)
{
    if (!m_connectionTracker.isServing()) {
        return;
    }
    UA_ApplicationDescription client;
    UA_ApplicationDescription_init(&client);
    // A shallow copy of the session's own description: not cleared.
    UA_Server_getSessionAttribute_scalar(
        m_server, &sessionId, UA_QUALIFIEDNAME(0, const_cast<char *>("clientDescription")),
        &UA_TYPES[UA_TYPES_APPLICATIONDESCRIPTION], &client);
    const QUaConnectionTracker::Peer peer =
        QUaConnectionTracker::peerOf(m_connectionTracker.servedConnection());
    session->m_sessionId = QUaNodeId(sessionId).toString();
    session->m_applicationName = toQString(client.applicationName.text);
    session->m_applicationUri = toQString(client.applicationUri);
    session->m_productUri = toQString(client.productUri);
    session->m_address = peer.address;
    session->m_port = peer.port;
    emit clientConnected(session);
}

void QUaServer::closeSession(UA_Server *server, UA_AccessControl *, const UA_NodeId *sessionId,
                             void *)
{
    QUaServer *self = fromStack(server);
    QUaSession *session = self ? self->m_hashSessions.take(QUaNodeId(*sessionId)) : nullptr;
    if (!session) {
        return;
    }
    emit self->clientDisconnected(session);
    // Later, so that receivers can still read the record while the signal travels.
    session->deleteLater();
}

QUaServer::ClientRecords QUaServer::clientRecords() const
{
    ClientRecords records;
    records.sessions = findChildren<QUaSession *>(QString(), Qt::FindDirectChildrenOnly).count();
    records.connections = m_connectionTracker.openConnectionCount();
    records.socketNotifiers = m_networkWatcher.watchedSocketCount();
    return records;
}

QString QUaServer::sessionUserName(const UA_NodeId *sessionId) const
{
    const QUaSession *session = sessionId ? m_hashSessions.value(QUaNodeId(*sessionId)) : nullptr;
    return session ? session->userName() : QString();
}

bool QUaServer::isValidUser(const UA_NodeId *sessionId) const
{
    return userExists(sessionUserName(sessionId));
}

UA_UInt32 QUaServer::getUserRightsMask(UA_Server *server, UA_AccessControl *,
                                       const UA_NodeId *sessionId, void *, const UA_NodeId *,
                                       void *nodeContext)
{
    QUaServer *self = fromStack(server);
    if (!self || !self->isValidUser(sessionId)) {
        return 0;
    }
    QUaNode *node = self->nodeFromContext(nodeContext);
    return node ? node->resolvedUserWriteMask(self->sessionUserName(sessionId)) : 0xFFFFFFFF;
}

UA_Byte QUaServer::getUserAccessLevel(UA_Server *server, UA_AccessControl *,
                                      const UA_NodeId *sessionId, void *, const UA_NodeId *,
                                      void *nodeContext)
{
    QUaServer *self = fromStack(server);
    if (!self || !self->isValidUser(sessionId)) {
        return 0;
    }
    auto *variable = qobject_cast<QUaBaseVariable *>(self->nodeFromContext(nodeContext));
    return variable ? variable->resolvedUserAccessLevel(self->sessionUserName(sessionId)) : 0xFF;
}

UA_Boolean QUaServer::getUserExecutable(UA_Server *server, UA_AccessControl *,
                                        const UA_NodeId *sessionId, void *, const UA_NodeId *,
                                        void *)
{
    QUaServer *self = fromStack(server);
    return self && self->isValidUser(sessionId);
}

template <typename Item>
UA_Boolean QUaServer::allowNodeManagement(UA_Server *server, UA_AccessControl *,
                                          const UA_NodeId *sessionId, void *, const Item *)
{
    const QUaServer *self = fromStack(server);
    return self && self->m_nodeManagementAllowed && self->isValidUser(sessionId);
}

void QUaServer::installNodeManagementChecks(UA_AccessControl &accessControl)
{
    accessControl.allowAddNode = &QUaServer::allowNodeManagement<UA_AddNodesItem>;
    accessControl.allowAddReference = &QUaServer::allowNodeManagement<UA_AddReferencesItem>;
    accessControl.allowDeleteNode = &QUaServer::allowNodeManagement<UA_DeleteNodesItem>;
    accessControl.allowDeleteReference = &QUaServer::allowNodeManagement<UA_DeleteReferencesItem>;
}

UA_Boolean QUaServer::getUserExecutableOnObject(UA_Server *server, UA_AccessControl *,
                                                const UA_NodeId *sessionId, void *,
                                                const UA_NodeId *, void *, const UA_NodeId *,
                                                void *objectContext)
{
    QUaServer *self = fromStack(server);
    if (!self || !self->isValidUser(sessionId)) {
        return false;
    }
    auto *object = qobject_cast<QUaBaseObject *>(self->nodeFromContext(objectContext));
    return object ? object->resolvedUserExecutable(self->sessionUserName(sessionId)) : true;
}
