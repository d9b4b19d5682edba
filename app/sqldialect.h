#ifndef SQLDIALECT_H
#define SQLDIALECT_H

#include <QJsonObject>
#include <QList>
#include <QSqlQuery>
#include <QString>

// What differs between the database drivers the tag store uses: connection
// options, statement bounds, the faults that pass on every server, and the
// texts of statements and connection strings.
namespace SqlDialect
{

// Every wait on the database is bounded, so a dead peer is noticed within
// about ten seconds; the GUI never waits for it anyway.
extern const char kPostgresOptions[];
extern const char kPostgresSession[];
extern const char kSqliteOptions[];
extern const char kOdbcOptions[];

// SQLSTATEs of faults that pass on every server.
bool isPassingState(const QString &state);
// Gives a prepared ODBC statement its query timeout; other drivers' statements
// are left alone.
void limitOdbcStatement(QSqlQuery &query);
// Prepares, bounds (on ODBC) and runs one statement.
bool runBounded(QSqlQuery &query, const QString &statement);
// The ODBC connection string for SQL Server from sql.json's values.
QString odbcConnectionString(const QJsonObject &config);
// A "Tables" entry of sql.json as its CREATE TABLE statement.
QString createTableStatement(const QJsonObject &table);
QString idList(const QList<qint64> &ids);

} // namespace SqlDialect

#endif // SQLDIALECT_H
