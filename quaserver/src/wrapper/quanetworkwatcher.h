#ifndef QUANETWORKWATCHER_H
#define QUANETWORKWATCHER_H

#include <QHash>
#include <QObject>

class QSocketNotifier;
class QUaConnectionTracker;

// Lets the Qt event loop watch the sockets of the stack's TCP connections, so
// that the server iterates the stack as soon as a client sends something
// instead of polling or blocking in the stack's own network wait.
//
// The connection tracker reports the connections that the stack opens and
// closes; the watcher keeps a QSocketNotifier per socket in between.
class QUaNetworkWatcher : public QObject
{
    Q_OBJECT

public:
    explicit QUaNetworkWatcher(const QUaConnectionTracker &tracker, QObject *parent = nullptr);

    // Whether at least one socket is watched: without one the stack must be polled.
    bool isWatching() const { return !m_notifiers.isEmpty(); }
    int watchedSocketCount() const { return m_notifiers.count(); }

    // Stops or resumes the notifications (while the stack runs an iteration).
    void setSuspended(bool suspended);

signals:
    // A watched socket has data (or a new connection) for the stack.
    void activity();

private:
    void watch(uintptr_t connectionId);
    void unwatch(uintptr_t connectionId);

    QHash<uintptr_t, QSocketNotifier *> m_notifiers; // children of the watcher
    bool m_suspended = false;
};

#endif // QUANETWORKWATCHER_H
