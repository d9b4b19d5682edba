#ifndef QUACONNECTIONTRACKER_H
#define QUACONNECTIONTRACKER_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <open62541/plugin/eventloop.h>

// The server's one hook into the stack's TCP connections. It reports the
// connections that open and close, so that the Qt event loop can watch their
// sockets, and tells which connection is being served at this moment, so that
// a callback the stack runs while it processes a request (the activation of a
// session, say) can ask the operating system about the client's socket, which
// the stack's own API does not hand out.
//
// The stack announces every connection of a listen socket, and processes every
// message of it, inside calls of the callback that the listen socket was
// opened with; the tracker slips its own callback in front of that one. It
// stays in front for good: the stack calls through it until its event loop is
// freed, so the tracker must outlive the stack's server. Everything runs on
// the server's thread, one message at a time, so with many clients connected
// the served id is always the one of the client whose request is in progress.
class QUaConnectionTracker : public QObject
{
    Q_OBJECT

public:
    // The numeric host text and port of a client's socket peer.
    struct Peer {
        QString address;
        quint16 port = 0;
    };

    explicit QUaConnectionTracker(QObject *parent = nullptr);
    ~QUaConnectionTracker() override;

    // Tracks the listen sockets that the TCP connection manager of the event
    // loop opens from now on. Attaching again to the same loop is a no-op.
    void attach(UA_EventLoop *eventLoop);

    // Whether a connection's message is being processed; the id is its socket
    // on POSIX systems.
    bool isServing() const { return m_servedConnection != kNoConnection; }
    uintptr_t servedConnection() const { return m_servedConnection; }
    int openConnectionCount() const { return m_openConnections.count(); }

    // The peer of the socket: numeric address and port for IPv4 and IPv6,
    // "Unknown" and 0 for anything else (or a socket that is gone).
    static Peer peerOf(uintptr_t connectionId);

signals:
    // The stack announced a connection: a listen socket or an accepted client.
    void connectionOpened(uintptr_t connectionId);
    // The stack is closing a connection; its socket is still open meanwhile.
    void connectionClosing(uintptr_t connectionId);

private:
    struct Interception;
    static constexpr uintptr_t kNoConnection = ~uintptr_t(0);

    static UA_StatusCode openConnection(UA_ConnectionManager *cm, const UA_KeyValueMap *params,
                                        void *application, void *context,
                                        UA_ConnectionManager_connectionCallback callback);
    static void connectionCallback(UA_ConnectionManager *cm, uintptr_t connectionId,
                                   void *application, void **connectionContext,
                                   UA_ConnectionState state, const UA_KeyValueMap *params,
                                   UA_ByteString msg);
    static QHash<UA_ConnectionManager *, Interception> &interceptions();

    void noteConnectionState(uintptr_t connectionId, UA_ConnectionState state);

    UA_ConnectionManager *m_tcpManager = nullptr;
    QSet<uintptr_t> m_openConnections;
    uintptr_t m_servedConnection = kNoConnection;
};

#endif // QUACONNECTIONTRACKER_H
