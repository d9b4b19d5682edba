#include "bench_pg.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QSqlDriver>
#include <QSqlError>
#include <QTimer>
#include <QVariant>

namespace bench
{

namespace
{

constexpr int kNotificationTimeoutMs = 5000;
constexpr int kNumberWidth = 7; // zero-padded row numbers up to 9 999 999

struct Column {
    const char *name;
    const char *type;
    const char *null;
};
// The layout of settings/sql.json, whose column order the gateway relies on.
constexpr Column kColumns[] = {
    {"id", "INTEGER", "NOT NULL"}, {"number", "TEXT", ""}, {"key", "TEXT", ""},
    {"value", "TEXT", ""},         {"type", "TEXT", ""},   {"description", "TEXT", ""},
    {"format", "TEXT", ""},
};

struct NotifyRule {
    const char *name;
    const char *event;
    const char *channel;
    const char *payload;
};
constexpr NotifyRule kRules[] = {
    {"some_notify_rule1", "INSERT", "insert_tags_notf", "new.id::text"},
    {"some_notify_rule2", "UPDATE", "update_tags_notf", "new.id::text"},
    {"some_notify_rule3", "DELETE", "delete_tags_notf", "'deleted'::text"},
};

bool execute(QSqlDatabase &db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement)) {
        return true;
    }
    *error = statement.left(60) + QStringLiteral("…: ") + query.lastError().text();
    return false;
}

QString createTableStatement()
{
    QStringList columns;
    for (const Column &column : kColumns) {
        columns << QStringLiteral("%1 %2 %3").arg(column.name, column.type, column.null).trimmed();
    }
    return QStringLiteral("CREATE TABLE tags (%1, PRIMARY KEY (id))").arg(columns.join(", "));
}

} // namespace

PgServer PgServer::fromEnvironment()
{
    PgServer server;
    server.host = qEnvironmentVariable("GATEWAY_TEST_PG_HOST");
    server.port = qEnvironmentVariableIntValue("GATEWAY_TEST_PG_PORT");
    server.user = qEnvironmentVariable("GATEWAY_TEST_PG_USER", QStringLiteral("postgres"));
    server.password = qEnvironmentVariable("GATEWAY_TEST_PG_PASSWORD");
    server.database = qEnvironmentVariable("GATEWAY_TEST_PG_DATABASE", QStringLiteral("postgres"));
    return server;
}

QSqlDatabase openConnection(const PgServer &server, const QString &name, QString *error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(server.host);
    db.setPort(server.port);
    db.setUserName(server.user);
    db.setPassword(server.password);
    db.setDatabaseName(server.database);
    if (!db.open()) {
        *error = db.lastError().text();
    } else {
        // Keeps "table does not exist, skipping" and the like off the report.
        QSqlQuery(db).exec(QStringLiteral("SET client_min_messages TO WARNING"));
    }
    return db;
}

QString tagKey(int row)
{
    return QStringLiteral("tag%1").arg(row);
}

bool recreateTagsTable(QSqlDatabase &db, int rows, QString *error)
{
    const QString fill =
        QStringLiteral("INSERT INTO tags (id, number, key, value, type, description, format) "
                       "SELECT g, lpad(g::text, %1, '0'), 'tag' || g, '0', 'w', 'bench tag', "
                       "'Int32' FROM generate_series(1, %2) AS g")
            .arg(kNumberWidth)
            .arg(rows);
    return execute(db, QStringLiteral("DROP TABLE IF EXISTS tags"), error) &&
           execute(db, createTableStatement(), error) && execute(db, fill, error) &&
           execute(db, QStringLiteral("VACUUM ANALYZE tags"), error);
}

bool installNotifyRules(QSqlDatabase &db, QString *error)
{
    for (const NotifyRule &rule : kRules) {
        const QString statement =
            QStringLiteral("CREATE OR REPLACE RULE %1 AS ON %2 TO tags DO SELECT "
                           "pg_notify('%3'::text, %4) AS pg_notify;")
                .arg(rule.name, rule.event, rule.channel, rule.payload);
        if (!execute(db, statement, error)) {
            return false;
        }
    }
    return true;
}

QJsonObject tagsTableDefinition()
{
    QJsonArray columns;
    for (const Column &column : kColumns) {
        columns.append(QJsonObject{{"Name", column.name},
                                   {"Type", column.type},
                                   {"AutoIncrement", ""},
                                   {"Null", column.null}});
    }
    return QJsonObject{{"TableName", "tags"}, {"Columns", columns}, {"PrimaryKey", "id"}};
}

TagUpdater::TagUpdater(const QSqlDatabase &db) : m_query(db)
{
    m_query.prepare(QStringLiteral("UPDATE tags SET value = ? WHERE key = ?"));
}

bool TagUpdater::set(const QString &key, const QString &value)
{
    m_query.bindValue(0, value);
    m_query.bindValue(1, key);
    return m_query.exec();
}

QString TagUpdater::lastError() const
{
    return m_query.lastError().text();
}

Figure measureUpdates(const QSqlDatabase &db, int rows, const Budget &budget, std::mt19937 &random)
{
    Figure figure;
    figure.unit = "/s";
    TagUpdater updater(db);
    std::uniform_int_distribution<int> anyRow(1, rows);
    const Clock::time_point start = Clock::now();
    for (int value = 1;
         figure.samples.count() < budget.maxSamples && secondsSince(start) < budget.maxSeconds;
         ++value) {
        const Clock::time_point sent = Clock::now();
        if (updater.set(tagKey(anyRow(random)), QString::number(value))) {
            figure.samples.add(millisecondsBetween(sent, Clock::now()));
        } else {
            ++figure.failures;
            figure.note = updater.lastError().toStdString();
        }
    }
    figure.value = double(figure.samples.count()) / secondsSince(start);
    return figure;
}

Figure measureUpdateNotifications(const QSqlDatabase &writer, QSqlDatabase &listener, int rows,
                                  const Budget &budget, std::mt19937 &random)
{
    Figure figure;
    figure.unit = "ms";
    QSqlDriver *driver = listener.driver();
    if (!driver->subscribeToNotification(QStringLiteral("update_tags_notf"))) {
        figure.note = "LISTEN update_tags_notf refused";
        return figure;
    }
    QEventLoop loop;
    QString awaitedId;
    Clock::time_point notifiedAt;
    const QMetaObject::Connection connection = QObject::connect(
        driver,
        QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(
            &QSqlDriver::notification),
        [&](const QString &, QSqlDriver::NotificationSource, const QVariant &payload) {
            if (payload.toString() == awaitedId) {
                notifiedAt = Clock::now();
                loop.quit();
            }
        });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);

    TagUpdater updater(writer);
    std::uniform_int_distribution<int> anyRow(1, rows);
    const Clock::time_point start = Clock::now();
    for (int value = 1;
         figure.samples.count() < budget.maxSamples && secondsSince(start) < budget.maxSeconds;
         ++value) {
        const int row = anyRow(random);
        awaitedId = QString::number(row);
        notifiedAt = {};
        const Clock::time_point sent = Clock::now();
        if (!updater.set(tagKey(row), QString::number(value))) {
            ++figure.failures;
            figure.note = updater.lastError().toStdString();
            continue;
        }
        timeout.start(kNotificationTimeoutMs);
        loop.exec();
        timeout.stop();
        if (notifiedAt == Clock::time_point{}) {
            ++figure.failures;
        } else {
            figure.samples.add(millisecondsBetween(sent, notifiedAt));
        }
    }
    QObject::disconnect(connection);
    driver->unsubscribeFromNotification(QStringLiteral("update_tags_notf"));
    figure.value = figure.samples.median();
    return figure;
}

Figure measureSelectAll(const QSqlDatabase &db)
{
    Figure figure;
    figure.unit = "s";
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const Clock::time_point start = Clock::now();
    if (!query.exec(QStringLiteral("SELECT id, number, key, value, type, description, format "
                                   "FROM tags ORDER BY number"))) {
        figure.note = query.lastError().text().toStdString();
        return figure;
    }
    while (query.next()) {
    }
    figure.value = secondsSince(start);
    return figure;
}

} // namespace bench
