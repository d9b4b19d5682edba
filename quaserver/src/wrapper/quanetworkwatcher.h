#ifndef QUANETWORKWATCHER_H
#define QUANETWORKWATCHER_H

#include <QHash>
#include <QObject>

#include <open62541/plugin/eventloop.h>

class QSocketNotifier;

// Lets the Qt event loop watch the sockets of the stack's TCP connections, so
// that the server iterates the stack as soon as a client sends something
// instead of polling or blocking in the stack's own network wait.
//
// The stack announces every connection of a listen socket through one callback
// of its TCP connection manager; the watcher slips its own callback in front of
// that one and keeps a QSocketNotifier per announced socket until the stack
// reports the connection closing.
class QUaNetworkWatcher : public QObject
{
    Q_OBJECT

public:
    explicit QUaNetworkWatcher(QObject *parent = nullptr);
    ~QUaNetworkWatcher() override;

    // Starts watching the connections that the TCP connection manager of the
    // event loop opens from now on. Attaching again to the same loop is a no-op.
    void attach(UA_EventLoop *eventLoop);
    // Gives the connection manager back its own open call. Must run before the
    // event loop is freed.
    void detach();

    // Whether at least one socket is watched: without one the stack must be polled.
    bool isWatching() const { return !m_notifiers.isEmpty(); }

    // Stops or resumes the notifications (while the stack runs an iteration).
    void setSuspended(bool suspended);

signals:
    // A watched socket has data (or a new connection) for the stack.
    void activity();

private:
    struct Interception;

    static UA_StatusCode openConnection(UA_ConnectionManager *cm, const UA_KeyValueMap *params,
                                        void *application, void *context,
                                        UA_ConnectionManager_connectionCallback callback);
    static void connectionCallback(UA_ConnectionManager *cm, uintptr_t connectionId,
                                   void *application, void **connectionContext,
                                   UA_ConnectionState state, const UA_KeyValueMap *params,
                                   UA_ByteString msg);
    static QHash<UA_ConnectionManager *, Interception> &interceptions();

    void onConnectionState(uintptr_t connectionId, UA_ConnectionState state);
    void watch(uintptr_t connectionId);
    void unwatch(uintptr_t connectionId);

    UA_ConnectionManager *m_tcpManager = nullptr;
    QHash<uintptr_t, QSocketNotifier *> m_notifiers;
    bool m_suspended = false;
};

#endif // QUANETWORKWATCHER_H
