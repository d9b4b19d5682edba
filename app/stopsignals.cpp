#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// [0] is written by the handler, [1] read by the event loop.
int g_pair[2] = {-1, -1};

} // namespace

void StopSignals::install()
{
    if (g_pair[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pair) != 0)
        return;
    new StopSignals(QCoreApplication::instance());
    struct sigaction action = {};
    action.sa_handler = &StopSignals::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

StopSignals::StopSignals(QObject *parent)
    : QObject(parent), m_notifier(new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::quitEventLoop);
}

// Only async-signal-safe calls here.
void StopSignals::onSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(g_pair[0], &byte, sizeof byte);
    (void)written;
}

void StopSignals::quitEventLoop()
{
    char byte = 0;
    const ssize_t read = ::read(g_pair[1], &byte, sizeof byte);
    (void)read;
    QCoreApplication::quit();
}
