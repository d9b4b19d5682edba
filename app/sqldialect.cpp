#include "sqldialect.h"

#include <QJsonArray>
#include <QSqlResult>
#include <QStringList>
#include <QVariant>
#include <sql.h>
#include <sqlext.h>

namespace
{

// ODBC has no statement timeout in its connection options: each statement
// gets one, so a lock held elsewhere cannot block the store for ever.
constexpr SQLULEN kOdbcQueryTimeoutS = 10;

// ODBC reads ';' as the end of a value and braces as quotes, so a value holding
// any of them is wrapped in braces with its closing braces doubled; plain values
// stay exactly as written.
QString odbcValue(const QString &value)
{
    if (!value.contains(QLatin1Char(';')) && !value.contains(QLatin1Char('{')) &&
        !value.contains(QLatin1Char('}')))
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

} // namespace

namespace SqlDialect
{

const char kPostgresOptions[] = "connect_timeout=5;keepalives=1;keepalives_idle=5;"
                                "keepalives_interval=2;keepalives_count=2;tcp_user_timeout=10000";
const char kPostgresSession[] = "SET statement_timeout = 10000; SET client_min_messages = warning";
const char kSqliteOptions[] = "QSQLITE_BUSY_TIMEOUT=1000";
const char kOdbcOptions[] = "SQL_ATTR_LOGIN_TIMEOUT=5;SQL_ATTR_CONNECTION_TIMEOUT=10";

// SQLSTATEs of faults that pass on every server: connection (08), timeouts
// (HYT00, HYT01), serialisation and deadlock, operator intervention (57P0x,
// 57014), out of resources (53), read-only after a fail-over, lock not had.
bool isPassingState(const QString &state)
{
    static const QStringList exact = {
        QStringLiteral("HYT00"), QStringLiteral("HYT01"), QStringLiteral("40001"),
        QStringLiteral("40P01"), QStringLiteral("25006"), QStringLiteral("57014"),
        QStringLiteral("55P03"),
    };
    if (state.size() != 5)
        return false;
    return exact.contains(state) || state.startsWith(QLatin1String("08")) ||
           state.startsWith(QLatin1String("53")) || state.startsWith(QLatin1String("57P0"));
}

// Qt's ODBC driver hands out the statement handle once the statement is
// prepared.
void limitOdbcStatement(QSqlQuery &query)
{
    const QVariant handle = query.result()->handle();
    if (qstrcmp(handle.typeName(), "SQLHANDLE") != 0)
        return;
    SQLHANDLE statement = *static_cast<const SQLHANDLE *>(handle.data());
    if (statement)
        SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(kOdbcQueryTimeoutS), SQL_IS_UINTEGER);
}

// Prepares, bounds (on ODBC) and runs one statement.
bool runBounded(QSqlQuery &query, const QString &statement)
{
    if (!query.prepare(statement))
        return false;
    limitOdbcStatement(query);
    return query.exec();
}

// The column parts are pasted as they stand, empty ones keeping their spaces.
QString createTableStatement(const QJsonObject &table)
{
    QStringList columns;
    for (const QJsonValue &entry : table[QLatin1String("Columns")].toArray()) {
        const QJsonObject column = entry.toObject();
        columns << QStringList{column[QLatin1String("Name")].toString(),
                               column[QLatin1String("Type")].toString(),
                               column[QLatin1String("AutoIncrement")].toString(),
                               column[QLatin1String("Null")].toString()}
                       .join(QLatin1Char(' '));
    }
    QString statement = QStringLiteral("CREATE TABLE ") +
                        table[QLatin1String("TableName")].toString() + QStringLiteral(" (") +
                        columns.join(QStringLiteral(", "));
    if (!columns.isEmpty())
        statement += QLatin1Char(' ');
    const QString primaryKey = table[QLatin1String("PrimaryKey")].toString();
    if (primaryKey.isEmpty())
        return statement + QLatin1Char(')');
    return statement + QStringLiteral(",PRIMARY KEY (") + primaryKey + QStringLiteral(" ))");
}

QString idList(const QList<qint64> &ids)
{
    QStringList texts;
    texts.reserve(ids.size());
    for (const qint64 id : ids)
        texts << QString::number(id);
    return texts.join(QLatin1Char(','));
}

QString odbcConnectionString(const QJsonObject &config)
{
    const auto value = [&config](const char *key) {
        return odbcValue(config[QLatin1String(key)].toString());
    };
    return QStringLiteral("DRIVER={SQL Server};SERVER=") + value("database_path") +
           QStringLiteral(";DATABASE=") + value("database_name") + QStringLiteral(";UID=") +
           value("database_user") + QStringLiteral(";PWD=") + value("database_password") +
           QStringLiteral(";WSID=.");
}

} // namespace SqlDialect
