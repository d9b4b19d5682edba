#include "quanetworkwatcher.h"

#include <QSocketNotifier>

#include <sys/stat.h>

#include <climits>

// The watcher's own open call replaces the connection manager's; the record
// keeps what it replaced so that every call still reaches the stack.
struct QUaNetworkWatcher::Interception {
    decltype(UA_ConnectionManager::openConnection) originalOpen = nullptr;
    UA_ConnectionManager_connectionCallback originalCallback = nullptr;
    QUaNetworkWatcher *watcher = nullptr;
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
        if (source->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) {
            continue;
        }
        auto *manager = reinterpret_cast<UA_ConnectionManager *>(source);
        if (UA_String_equal(&manager->protocol, &tcp)) {
            return manager;
        }
    }
    return nullptr;
}

// On POSIX the stack's TCP connection ids are the socket descriptors; anything
// that is not a socket descriptor is left to the polling fallback.
bool isSocketDescriptor(uintptr_t connectionId)
{
    struct stat status;
    return connectionId <= uintptr_t(INT_MAX) && fstat(int(connectionId), &status) == 0 &&
           S_ISSOCK(status.st_mode);
}

} // namespace

QUaNetworkWatcher::QUaNetworkWatcher(QObject *parent) : QObject(parent) {}

QUaNetworkWatcher::~QUaNetworkWatcher()
{
    detach();
}

QHash<UA_ConnectionManager *, QUaNetworkWatcher::Interception> &QUaNetworkWatcher::interceptions()
{
    static QHash<UA_ConnectionManager *, Interception> table;
    return table;
}

void QUaNetworkWatcher::attach(UA_EventLoop *eventLoop)
{
    UA_ConnectionManager *manager = eventLoop ? findTcpManager(eventLoop) : nullptr;
    if (!manager || manager == m_tcpManager) {
        return;
    }
    detach();
    // A record left by an earlier watcher still forwards its open connections.
    Interception &interception = interceptions()[manager];
    interception.originalOpen = manager->openConnection;
    interception.watcher = this;
    manager->openConnection = &QUaNetworkWatcher::openConnection;
    m_tcpManager = manager;
}

void QUaNetworkWatcher::detach()
{
    if (!m_tcpManager) {
        return;
    }
    auto it = interceptions().find(m_tcpManager);
    m_tcpManager->openConnection = it->originalOpen;
    if (m_notifiers.isEmpty()) {
        interceptions().erase(it);
    } else {
        // Connections still open keep calling the watcher's callback, which
        // must go on forwarding them to the stack.
        it->watcher = nullptr;
    }
    qDeleteAll(m_notifiers);
    m_notifiers.clear();
    m_tcpManager = nullptr;
}

void QUaNetworkWatcher::setSuspended(bool suspended)
{
    if (suspended == m_suspended) {
        return;
    }
    m_suspended = suspended;
    for (QSocketNotifier *notifier : qAsConst(m_notifiers)) {
        notifier->setEnabled(!suspended);
    }
}

UA_StatusCode QUaNetworkWatcher::openConnection(UA_ConnectionManager *cm,
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
                                     &QUaNetworkWatcher::connectionCallback);
}

void QUaNetworkWatcher::connectionCallback(UA_ConnectionManager *cm, uintptr_t connectionId,
                                           void *application, void **connectionContext,
                                           UA_ConnectionState state, const UA_KeyValueMap *params,
                                           UA_ByteString msg)
{
    const Interception interception = interceptions().value(cm);
    if (interception.watcher) {
        interception.watcher->onConnectionState(connectionId, state);
    }
    interception.originalCallback(cm, connectionId, application, connectionContext, state, params,
                                  msg);
}

void QUaNetworkWatcher::onConnectionState(uintptr_t connectionId, UA_ConnectionState state)
{
    if (state == UA_CONNECTIONSTATE_CLOSING || state == UA_CONNECTIONSTATE_CLOSED) {
        unwatch(connectionId);
    } else {
        watch(connectionId);
    }
}

void QUaNetworkWatcher::watch(uintptr_t connectionId)
{
    if (m_notifiers.contains(connectionId) || !isSocketDescriptor(connectionId)) {
        return;
    }
    auto *notifier = new QSocketNotifier(qintptr(connectionId), QSocketNotifier::Read, this);
    notifier->setEnabled(!m_suspended);
    connect(notifier, &QSocketNotifier::activated, this, &QUaNetworkWatcher::activity);
    m_notifiers.insert(connectionId, notifier);
}

void QUaNetworkWatcher::unwatch(uintptr_t connectionId)
{
    delete m_notifiers.take(connectionId);
}
