#include "quanetworkwatcher.h"

#include <QSocketNotifier>

#include <sys/stat.h>

#include <climits>

#include "quaconnectiontracker.h"

namespace
{

// On POSIX the stack's TCP connection ids are the socket descriptors; anything
// that is not a socket descriptor is left to the polling fallback.
bool isSocketDescriptor(uintptr_t connectionId)
{
    struct stat status;
    return connectionId <= uintptr_t(INT_MAX) && fstat(int(connectionId), &status) == 0 &&
           S_ISSOCK(status.st_mode);
}

} // namespace

QUaNetworkWatcher::QUaNetworkWatcher(const QUaConnectionTracker &tracker, QObject *parent)
    : QObject(parent)
{
    connect(&tracker, &QUaConnectionTracker::connectionOpened, this, &QUaNetworkWatcher::watch);
    connect(&tracker, &QUaConnectionTracker::connectionClosing, this, &QUaNetworkWatcher::unwatch);
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
