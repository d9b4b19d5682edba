#include "bench_pg.h"
#include "notifytriggers.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QSqlDriver>
#include <QSqlError>
#include <QTimer>
#include <QVariant>

#include <thread>

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

constexpr int kRowPollMs = 20;

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

int rowsDiffering(const QSqlDatabase &db, const RowValues &expected)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, value FROM tags"))) {
        return int(expected.size());
    }
    int matching = 0;
    while (query.next()) {
        const auto wanted = expected.find(query.value(0).toInt());
        if (wanted != expected.end() &&
            query.value(1).toString() == QString::number(wanted->second)) {
            ++matching;
        }
    }
    return int(expected.size()) - matching;
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

bool recreateTagsTable(QSqlDatabase &db, int rows, QString *error)
{
    return execute(db, QStringLiteral("DROP TABLE IF EXISTS tags"), error) &&
           execute(db, createTableStatement(), error) && insertRows(db, 1, rows, error) &&
           execute(db, QStringLiteral("VACUUM ANALYZE tags"), error);
}

bool insertRows(QSqlDatabase &db, int first, int count, QString *error)
{
    const QString insert =
        QStringLiteral("INSERT INTO tags (id, number, key, value, type, description, format) "
                       "SELECT g, lpad(g::text, %1, '0'), 'tag' || g, '0', 'w', 'bench tag', "
                       "'Int32' FROM generate_series(%2, %3) AS g")
            .arg(kNumberWidth)
            .arg(first)
            .arg(first + count - 1);
    return execute(db, insert, error);
}

// The gateway's own triggers, so raw C waits for the notifications it hears.
bool installNotifyTriggers(QSqlDatabase &db, QString *error)
{
    for (const NotifyTrigger &trigger : kNotifyTriggers) {
        if (!execute(db, notifyTriggerStatement(trigger, QStringLiteral("tags")), error))
            return false;
    }
    return true;
}

bool reopen(QSqlDatabase &db, double seconds)
{
    const Clock::time_point start = Clock::now();
    for (;;) {
        db.close();
        if (db.open()) {
            QSqlQuery(db).exec(QStringLiteral("SET client_min_messages TO WARNING"));
            return true;
        }
        if (secondsSince(start) > seconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRowPollMs));
    }
}

double secondsUntilRowsHold(const QSqlDatabase &db, const RowValues &expected, double limitSeconds,
                            int *differing)
{
    const Clock::time_point start = Clock::now();
    while ((*differing = rowsDiffering(db, expected)) > 0) {
        if (secondsSince(start) > limitSeconds) {
            return kNotMeasured;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRowPollMs));
    }
    return secondsSince(start);
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
    m_query.prepare(QStringLiteral("UPDATE tags SET value = ? WHERE id = ?"));
}

bool TagUpdater::set(int id, const QString &value)
{
    m_query.bindValue(0, value);
    m_query.bindValue(1, id);
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
        if (updater.set(anyRow(random), QString::number(value))) {
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
        if (!updater.set(row, QString::number(value))) {
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
