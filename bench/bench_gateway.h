// The built gateway, run as a separate process from a folder of its own with
// a PostgreSQL configuration, and the figures measured against it from outside.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <random>

#include "bench_opcua.h"
#include "bench_pg.h"

namespace bench
{

// Bounds of a wait for rows to become tags.
struct StartupLimits {
    double overallSeconds;         // from the start of the wait for tags to the last one
    double firstTagSeconds;        // to "InitSQL - OK!", and from the start to the first tag
    double withoutProgressSeconds; // between two tags
};

struct StartupFigures {
    Figure total;     // process start until the last "Added SQL TAG: ", s
    Figure firstLoad; // the first "Added SQL TAG: " until the last, s
    int tags = 0;
};

class GatewayProcess
{
public:
    GatewayProcess(const QString &executable, const PgServer &server);
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess &) = delete;
    GatewayProcess &operator=(const GatewayProcess &) = delete;

    bool start(QString *error);
    void stop();
    // sql.json's "sql_write_journal", on unless switched off before start().
    void setWriteJournal(bool on) { m_writeJournal = on; }
    // SIGKILL, and a start again in the same folder, its write journal kept.
    void kill();
    bool restart(QString *error);
    bool exited();
    qint64 pid() const { return m_process.processId(); }
    QByteArray url() const { return loopbackUrl(m_port); }

    // Waits for "InitSQL - OK!" in the log.
    bool waitForSqlReady(double seconds, QString *error);
    // Waits until the log has announced `rows` SQL tags, within the limits.
    StartupFigures waitForTags(int rows, const StartupLimits &limits);
    // The SQL tags the log has announced so far.
    int tagCount();
    // Waits until the log has announced `total` SQL tags: seconds from sinceMs
    // (since the epoch) to the last one's time stamp.
    Figure waitForTagsSince(int total, qint64 sinceMs, const StartupLimits &limits);
    QString logTail(int lines);

private:
    bool writeConfiguration(QString *error) const;
    QString waitForTagCount(int total, const StartupLimits &limits);
    void readLog();
    void readLogLine(const QByteArray &line);

    QString m_executable;
    PgServer m_server;
    quint16 m_port;
    QTemporaryDir m_folder;
    QProcess m_process;
    QFile m_log;
    QByteArray m_unfinishedLine;
    qint64 m_startedAtMs = 0;
    qint64 m_sqlReadyAtMs = 0;
    qint64 m_firstTagAtMs = 0;
    qint64 m_lastTagAtMs = 0;
    int m_tags = 0;
    bool m_writeJournal = true;
};

// Gateway 1: a client writes random tags one at a time; each sample lasts
// until the row holds the value, read back by id on a separate connection.
Figure measureWritesReachingRows(const QByteArray &url, const TagNodes &nodes,
                                 const QSqlDatabase &readback, const Budget &budget,
                                 std::mt19937 &random);

// Gateway 2: an UPDATE of a random watched row until the subscribed client
// receives the new value; the subscription asks for the server's shortest
// publishing and sampling intervals.
struct SubscriptionFigures {
    Figure latency;
    double publishingIntervalMs = kNotMeasured;
    double samplingIntervalMs = kNotMeasured;
};
SubscriptionFigures measureUpdatesReachingSubscriber(const QByteArray &url, const TagNodes &nodes,
                                                     const QSqlDatabase &writer,
                                                     const Budget &budget, std::mt19937 &random);

} // namespace bench
