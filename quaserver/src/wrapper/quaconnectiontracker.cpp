#include "quaconnectiontracker.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>

// What the tracker's calls replaced on one connection manager, so that every
// call still reaches the stack. The record stays as long as the tracker: the
// stack calls through it until its event loop is freed.
struct QUaConnectionTracker::Interception {
    decltype(UA_ConnectionManager::openConnection) originalOpen = nullptr;
    UA_ConnectionManager_connectionCallback originalCallback = nullptr;
    QUaConnectionTracker *tracker = nullptr;
};

namespace
{

bool isListenRequest(const UA_KeyValueMap *params)
{
    const auto *listen = static_cast<const UA_Boolean *>(UA_KeyValueMap_getScalar(
        params, UA_QUALIFIEDNAME(0, const_cast<char *>("listen")), &UA_TYPES[UA_TYPES_BOOLEAN]));
    return listen && *listen;
}

UA_ConnectionManager *findTcpManager(UA_EventLoop *eventLoop)
{
    const UA_String tcp = UA_STRING(const_cast<char *>("tcp"));
    for (UA_EventSource *source = eventLoop->eventSources; source; source = source->next) {
        auto *manager = reinterpret_cast<UA_ConnectionManager *>(source);
        if (source->eventSourceType == UA_EVENTSOURCETYPE_CONNECTIONMANAGER &&
            UA_String_equal(&manager->protocol, &tcp)) {
            return manager;
        }
    }
    return nullptr;
}

} // namespace

QUaConnectionTracker::QUaConnectionTracker(QObject *parent) : QObject(parent) {}

QUaConnectionTracker::~QUaConnectionTracker()
{
    interceptions().remove(m_tcpManager);
}

QHash<UA_ConnectionManager *, QUaConnectionTracker::Interception> &
QUaConnectionTracker::interceptions()
{
    static QHash<UA_ConnectionManager *, Interception> table;
    return table;
}

void QUaConnectionTracker::attach(UA_EventLoop *eventLoop)
{
    UA_ConnectionManager *manager = eventLoop ? findTcpManager(eventLoop) : nullptr;
    if (!manager || manager == m_tcpManager) {
        return;
    }
    interceptions().remove(m_tcpManager);
    Interception interception;
    interception.originalOpen = manager->openConnection;
    interception.tracker = this;
    interceptions().insert(manager, interception);
    manager->openConnection = &QUaConnectionTracker::openConnection;
    m_tcpManager = manager;
}

UA_StatusCode QUaConnectionTracker::openConnection(UA_ConnectionManager *cm,
                                                   const UA_KeyValueMap *params, void *application,
                                                   void *context,
                                                   UA_ConnectionManager_connectionCallback callback)
{
    Interception &interception = interceptions()[cm];
    // Connections accepted by a listen socket reuse the listen socket's
    // callback, so wrapping that one callback sees every server connection.
    const bool wrap = isListenRequest(params) &&
                      (!interception.originalCallback || interception.originalCallback == callback);
    if (!wrap) {
        return interception.originalOpen(cm, params, application, context, callback);
    }
    interception.originalCallback = callback;
    return interception.originalOpen(cm, params, application, context,
                                     &QUaConnectionTracker::connectionCallback);
}

void QUaConnectionTracker::connectionCallback(UA_ConnectionManager *cm, uintptr_t connectionId,
                                              void *application, void **connectionContext,
                                              UA_ConnectionState state,
                                              const UA_KeyValueMap *params, UA_ByteString msg)
{
    const Interception interception = interceptions().value(cm);
    QUaConnectionTracker *tracker = interception.tracker;
    tracker->noteConnectionState(connectionId, state);
    // A nested call (a slot that runs an event loop inside a stack callback)
    // gives the outer connection back when it returns.
    const uintptr_t outerConnection = tracker->m_servedConnection;
    tracker->m_servedConnection = connectionId;
    interception.originalCallback(cm, connectionId, application, connectionContext, state, params,
                                  msg);
    tracker->m_servedConnection = outerConnection;
}

void QUaConnectionTracker::noteConnectionState(uintptr_t connectionId, UA_ConnectionState state)
{
    if (state == UA_CONNECTIONSTATE_CLOSING || state == UA_CONNECTIONSTATE_CLOSED) {
        if (m_openConnections.remove(connectionId)) {
            emit connectionClosing(connectionId);
        }
    } else if (!m_openConnections.contains(connectionId)) {
        m_openConnections.insert(connectionId);
        emit connectionOpened(connectionId);
    }
}

QUaConnectionTracker::Peer QUaConnectionTracker::peerOf(uintptr_t connectionId)
{
    Peer peer{QStringLiteral("Unknown"), 0};
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    auto *socketAddress = reinterpret_cast<sockaddr *>(&address);
    if (connectionId > uintptr_t(INT_MAX) ||
        ::getpeername(int(connectionId), socketAddress, &length) != 0) {
        return peer;
    }
    char host[100] = {};
    if (::getnameinfo(socketAddress, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
        return peer;
    }
    if (address.ss_family == AF_INET) {
        peer = {QString::fromLatin1(host),
                ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port)};
    } else if (address.ss_family == AF_INET6) {
        peer = {QString::fromLatin1(host),
                ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)};
    }
    return peer;
}
