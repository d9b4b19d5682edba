// PostgreSQL side of the benchmarks: the server from the environment, the
// tags table laid out and filled the way the gateway reads it, and the raw
// figures of single-row updates and their notifications.
#pragma once

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <random>

#include "bench_stats.h"

namespace bench
{

// The server that scripts/pg-test-server.sh announces in GATEWAY_TEST_PG_*.
struct PgServer {
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString database;

    static PgServer fromEnvironment();
    bool configured() const { return !host.isEmpty() && port > 0; }
};

// An open QPSQL connection under its own Qt connection name; on failure the
// driver's error goes to *error and the connection is not open.
QSqlDatabase openConnection(const PgServer &server, const QString &name, QString *error);

// Drops and creates the tags table with rows 1 … rows: id = row, number = the
// row zero-padded (so sorting by number keeps the id order), key "tag<row>",
// value "0", writable Int32. No notification triggers: the gateway adds them.
bool recreateTagsTable(QSqlDatabase &db, int rows, QString *error);

// Rows first … first + count - 1, laid out as above, in one INSERT.
bool insertRows(QSqlDatabase &db, int first, int count, QString *error);

// Row-level AFTER triggers that announce each inserted, updated and deleted
// row on the channels the gateway listens to, as the gateway sets them up.
bool installNotifyTriggers(QSqlDatabase &db, QString *error);

// Closes and opens the connection again until it opens or the time is up.
bool reopen(QSqlDatabase &db, double seconds);

// Reads the table until every row of `expected` holds its value; the
// seconds that took, or kNotMeasured with *differing rows left at the limit.
double secondsUntilRowsHold(const QSqlDatabase &db, const RowValues &expected, double limitSeconds,
                            int *differing);

// The "tags" entry of sql.json's "Tables" that describes the same table.
QJsonObject tagsTableDefinition();

// UPDATE tags SET value=$1 WHERE id=$2, prepared once, autocommit.
class TagUpdater
{
public:
    explicit TagUpdater(const QSqlDatabase &db);
    bool set(int id, const QString &value);
    QString lastError() const;

private:
    QSqlQuery m_query;
};

// Raw B: single-row updates of random rows, one connection.
Figure measureUpdates(const QSqlDatabase &db, int rows, const Budget &budget, std::mt19937 &random);

// Raw C: an update of a random row on one connection until the update
// trigger's notification with that row's id reaches another connection.
Figure measureUpdateNotifications(const QSqlDatabase &writer, QSqlDatabase &listener, int rows,
                                  const Budget &budget, std::mt19937 &random);

// The time to read every row of the table once, in seconds.
Figure measureSelectAll(const QSqlDatabase &db);

} // namespace bench
