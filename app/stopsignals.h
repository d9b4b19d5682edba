#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP end the Qt event loop as closing the window
// does, so a service manager's stop or Ctrl+C writes what is pending and
// leaves with status 0. The handler only writes a byte to a socket pair; the
// event loop reads it and quits.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    // Once, after the application object is made; it owns the watcher.
    static void install();

private:
    explicit StopSignals(QObject *parent);
    static void onSignal(int signal);
    void quitEventLoop();

    QSocketNotifier *m_notifier;
};

#endif // STOPSIGNALS_H
