#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>

// SIGTERM, SIGINT and SIGHUP end the Qt event loop (QCoreApplication::quit()),
// so main can take the gateway down in order.
class StopSignals : public QObject
{
public:
    // Call once, after the application object is made.
    static void install();

private:
    explicit StopSignals(QObject *parent);
};

#endif // STOPSIGNALS_H
