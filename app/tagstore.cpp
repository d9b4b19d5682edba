#include "tagstore.h"

#include "notifytriggers.h"
#include "sqldialect.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QThread>
#include <algorithm>
#include <memory>

namespace
{

// The core gets the rows this long after the start, whatever arrives before.
constexpr int kFirstLoadDelayMs = 2000;
// Notified rows are read at most once per window: the first notification
// after a quiet window is read at once, later ones together at its end.
constexpr int kNotifyWindowMs = 20;
// A lost database is tried again after growing pauses, never longer than this.
constexpr int kFirstRetryMs = 250;
constexpr int kMaxRetryMs = 4000;
// The connection is looked at every second; when no statement ran for this
// long, a cheap one proves the server still answers.
constexpr int kCheckIntervalMs = 1000;
constexpr int kIdleProbeMs = 5000;
// Ids per statement when notified rows are read.
constexpr int kIdsPerSelect = 1000;
// Large reads report their progress at most this often.
constexpr int kProgressIntervalMs = 1000;

// The journal's commits wait for no disk; it is synced this often, which
// bounds what a crash of the machine can lose.
constexpr int kJournalSyncMs = 1000;

} // namespace

using namespace SqlDialect;

const char *const TagStore::kInitSqlFunction = "void cInternalFunctions::InitSQL()";

QString TagStore::odbcConnectionString(const QJsonObject &config)
{
    return SqlDialect::odbcConnectionString(config);
}

TagStore::TagStore(const QJsonObject &sqlConfig, const QString &dataDir)
    : m_config(sqlConfig), m_dataDir(dataDir),
      m_type(sqlConfig[QLatin1String("database_type")].toString()),
      m_firstLoadTimer(new QTimer(this)), m_notifyTimer(new QTimer(this)),
      m_retryTimer(new QTimer(this)), m_checkTimer(new QTimer(this)), m_pollTimer(new QTimer(this)),
      m_journalSyncTimer(new QTimer(this))
{
    connect(m_journalSyncTimer, &QTimer::timeout, this, [this] { m_journal->sync(); });
    qRegisterMetaType<TagRows>("TagRows");
    qRegisterMetaType<TagRowIds>("TagRowIds");
    qRegisterMetaType<StoredValues>("StoredValues");
    m_firstLoadTimer->setSingleShot(true);
    m_firstLoadTimer->setInterval(kFirstLoadDelayMs);
    connect(m_firstLoadTimer, &QTimer::timeout, this, &TagStore::firstLoad);
    m_notifyTimer->setSingleShot(true);
    connect(m_notifyTimer, &QTimer::timeout, this, &TagStore::loadNotifiedRows);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &TagStore::retry);
    m_checkTimer->setInterval(kCheckIntervalMs);
    connect(m_checkTimer, &QTimer::timeout, this, &TagStore::checkConnection);
    m_pollTimer->setInterval(m_config[QLatin1String("sql_poll_interval_ms")].toInt());
    connect(m_pollTimer, &QTimer::timeout, this, &TagStore::poll);
}

TagStore::~TagStore() = default;

void TagStore::log(const QString &level, const QString &message, const char *function)
{
    emit logLine(level, QString::fromUtf8(function), message);
}

void TagStore::start()
{
    m_firstLoadTimer->start();
    // "sql_write_journal": false runs without the journal (for measurements).
    if (m_config[QLatin1String("sql_write_journal")].toBool(true)) {
        m_journal = std::make_unique<WriteJournal>(m_dataDir);
        m_journalSyncTimer->start(kJournalSyncMs);
        replayJournal();
    }
    if (!configureConnection() || !openConnection()) {
        log(QStringLiteral("critical"), QStringLiteral("InitSQL - ERROR! DataBase NOT Open!"),
            kInitSqlFunction);
        // An unknown database type never opens; any other is tried again.
        if (m_db.isValid()) {
            m_outageLogged = true;
            scheduleRetry();
        }
        return;
    }
    onOpened();
}

// Sets m_db up for the database type of sql.json; an unknown type leaves it
// invalid.
bool TagStore::configureConnection()
{
    const auto text = [this](const char *key) { return m_config[QLatin1String(key)].toString(); };
    if (m_type == QLatin1String("SQLLITE")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), text("database_name"));
        m_db.setDatabaseName(m_dataDir + text("database_localpath"));
        m_db.setConnectOptions(QLatin1String(kSqliteOptions));
    } else if (m_type == QLatin1String("MSSQL")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"));
        m_db.setDatabaseName(odbcConnectionString(m_config));
        m_db.setConnectOptions(QLatin1String(kOdbcOptions));
    } else if (m_type == QLatin1String("POSTGRESQL")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), text("database_name"));
        m_db.setHostName(text("database_path"));
        m_db.setDatabaseName(text("database_name"));
        m_db.setPort(m_config[QLatin1String("database_port")].toInt());
        m_db.setUserName(text("database_user"));
        m_db.setPassword(text("database_password"));
        m_db.setConnectOptions(QLatin1String(kPostgresOptions));
    }
    m_connectionName = m_db.connectionName();
    if (!m_db.isValid())
        return false;
    connect(m_db.driver(),
            QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(
                &QSqlDriver::notification),
            this, &TagStore::onNotification);
    return true;
}

// A connection opened again after an outage listens again; the first one
// does so once its tables exist.
bool TagStore::openConnection()
{
    m_valueUpdate.reset();
    m_tableReadSinceOpen = false;
    m_db.close();
    if (!m_db.open())
        return false;
    if (m_opened)
        prepareConnection();
    return true;
}

// Every opened connection gets its statement timeout, keeps the server's
// notices to itself, and listens.
void TagStore::prepareConnection()
{
    if (m_type == QLatin1String("POSTGRESQL"))
        exec(QLatin1String(kPostgresSession));
    for (const NotifyTrigger &trigger : kNotifyTriggers)
        m_db.driver()->subscribeToNotification(QLatin1String(trigger.channel));
}

// The first open: the configured tables, the notifications, the rows.
void TagStore::onOpened()
{
    m_opened = true;
    prepareConnection();
    createTables();
    log(QStringLiteral("info"), QStringLiteral("InitSQL - OK!"), kInitSqlFunction);
    const QSqlRecord record = m_db.record(QStringLiteral("tags"));
    for (int column = 0; column < record.count(); ++column)
        m_fieldNames << m_db.driver()->escapeIdentifier(record.fieldName(column),
                                                        QSqlDriver::FieldName);
    if (m_fieldNames.size() > kValueColumn) {
        m_idField = m_fieldNames.at(kIdColumn);
        m_valueField = m_fieldNames.at(kValueColumn);
    }
    m_available = true;
    m_outageLogged = false;
    m_retryDelayMs = 0;
    emit availabilityChanged(true);
    m_checkTimer->start();
    if (m_pollTimer->interval() > 0)
        m_pollTimer->start();
    reloadTable(false);
}

// On later starts the tables exist already, so a refused CREATE TABLE is
// expected and stays silent.
void TagStore::createTables()
{
    for (const QJsonValue &entry : m_config[QLatin1String("Tables")].toArray()) {
        const QJsonObject table = entry.toObject();
        exec(createTableStatement(table));
        createNotifyTriggers(table[QLatin1String("TableName")].toString());
    }
}

// Only PostgreSQL knows triggers of this kind; the other databases refuse
// them at every start.
void TagStore::createNotifyTriggers(const QString &tableName)
{
    for (const NotifyTrigger &trigger : kNotifyTriggers) {
        if (!exec(notifyTriggerStatement(trigger, tableName)).isActive())
            log(QStringLiteral("critical"),
                QStringLiteral("InitSQL %1 - ERROR!").arg(QLatin1String(trigger.channel)),
                kInitSqlFunction);
    }
}

QSqlQuery TagStore::exec(const QString &statement)
{
    QSqlQuery query(m_db);
    query.exec(statement);
    m_sinceStatement.start();
    return query;
}

// ---- Rows

// A failure that may pass puts the store in an outage.
bool TagStore::select(QSqlQuery &query, const QString &statement)
{
    query.setForwardOnly(true);
    const bool ok = runBounded(query, statement);
    m_sinceStatement.start();
    if (!ok)
        failed(query.lastError());
    return ok;
}

// A read that ends with an error was cut off: it counts as failed, so rows
// not read are never taken as deleted.
bool TagStore::readToEnd(const QSqlQuery &query)
{
    m_sinceStatement.start();
    if (!query.lastError().isValid())
        return true;
    failed(query.lastError());
    return false;
}

// The whole table, each row's columns by position. Large tables report their
// progress while they are read.
bool TagStore::readAllRows(TagRows &rows)
{
    QSqlQuery query(m_db);
    if (!select(query, QStringLiteral("SELECT * FROM tags")))
        return false;
    const int columns = query.record().count();
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (query.next()) {
        readRow(query, columns, rows);
        if (sinceProgress.elapsed() >= kProgressIntervalMs) {
            sinceProgress.restart();
            log(QStringLiteral("info"),
                QStringLiteral("Reading the tags table: %1 rows so far").arg(rows.size()),
                Q_FUNC_INFO);
        }
    }
    return readToEnd(query);
}

bool TagStore::readRowsById(const QList<qint64> &ids, TagRows &rows)
{
    for (int first = 0; first < ids.size(); first += kIdsPerSelect) {
        QSqlQuery query(m_db);
        if (!select(query, QStringLiteral("SELECT * FROM tags WHERE %1 IN (%2)")
                               .arg(m_idField, idList(ids.mid(first, kIdsPerSelect)))))
            return false;
        const int columns = query.record().count();
        while (query.next())
            readRow(query, columns, rows);
        if (!readToEnd(query))
            return false;
    }
    return true;
}

// A row without an integer id cannot be told apart from others, so it is
// left out.
void TagStore::readRow(const QSqlQuery &query, int columns, TagRows &rows) const
{
    bool isNumber = false;
    TagRow row;
    row.id = query.value(kIdColumn).toLongLong(&isNumber);
    if (!isNumber)
        return;
    for (int column = kNumberColumn; column < std::min<int>(columns, kTagsColumnCount); ++column)
        row.setCell(column, query.value(column).toString());
    rows.append(row);
}

void TagStore::holdRow(const TagRow &row)
{
    const auto held = m_rows.constFind(row.id);
    if (held != m_rows.constEnd() && held->key != row.key)
        m_idsByKey[held->key].removeOne(row.id);
    if (held == m_rows.constEnd() || held->key != row.key) {
        QVector<qint64> &ids = m_idsByKey[row.key];
        ids.insert(std::lower_bound(ids.begin(), ids.end(), row.id), row.id);
    }
    m_rows.insert(row.id, row);
}

void TagStore::dropRow(qint64 id)
{
    const auto held = m_rows.find(id);
    if (held == m_rows.end())
        return;
    QVector<qint64> &ids = m_idsByKey[held->key];
    ids.removeOne(id);
    if (ids.isEmpty())
        m_idsByKey.remove(held->key);
    m_rows.erase(held);
}

// Reads the whole table and hands on what changed: to the window every new,
// changed and removed row; to the core the new and changed rows, or every
// row when a deletion asks for all of them.
void TagStore::reloadTable(bool allRowsToCore)
{
    TagRows rows;
    if (!readAllRows(rows))
        return;
    QSet<qint64> gone;
    gone.reserve(m_rows.size());
    for (auto held = m_rows.constBegin(); held != m_rows.constEnd(); ++held)
        gone.insert(held.key());
    TagRows changed;
    for (const TagRow &row : qAsConst(rows)) {
        gone.remove(row.id);
        const auto held = m_rows.constFind(row.id);
        if (held != m_rows.constEnd() && *held == row)
            continue;
        holdRow(row);
        changed.append(row);
    }
    TagRowIds removed;
    for (const qint64 id : qAsConst(gone)) {
        dropRow(id);
        removed.append(id);
    }
    m_rowsRead = true;
    m_tableReadSinceOpen = true;
    if (!changed.isEmpty())
        emit rowsChanged(changed);
    if (!removed.isEmpty())
        emit rowsRemoved(removed);
    // Values waiting since before the read (the journal's at the start) are
    // written first, so the core gets the rows as they hold them.
    flushWrites();
    TagRows toCore = allRowsToCore ? rows : changed;
    for (TagRow &row : toCore)
        row.value = m_rows.value(row.id, row).value;
    handToCore(toCore, allRowsToCore);
    if (m_firstLoadDue && !m_firstLoadDone)
        firstLoad();
}

// Before the first load the core gets nothing: that load hands it every row.
// A row whose key has a client's value waiting is older than its tag. A read
// of the whole table is handed on even when empty: it replaces older rows
// still waiting in the core.
void TagStore::handToCore(const TagRows &rows, bool wholeTable)
{
    if (!m_firstLoadDone)
        return;
    TagRows current;
    current.reserve(rows.size());
    for (const TagRow &row : rows)
        if (!m_pendingValues.contains(row.key))
            current.append(row);
    if (!current.isEmpty() || wholeTable)
        emit tagRowsRead(current, wholeTable);
}

void TagStore::firstLoad()
{
    m_firstLoadDue = true;
    if (!m_rowsRead)
        return;
    m_firstLoadDone = true;
    TagRows rows;
    rows.reserve(m_rows.size());
    for (const TagRow &row : qAsConst(m_rows))
        rows.append(row);
    // In the window's order, so the first of several rows with one key is
    // the one the operator sees first.
    std::sort(rows.begin(), rows.end(), [](const TagRow &a, const TagRow &b) {
        const int byNumber = a.number.compare(b.number);
        return byNumber != 0 ? byNumber < 0 : a.id < b.id;
    });
    handToCore(rows, true);
}

// ---- Notifications and polling

void TagStore::onNotification(const QString &channel, QSqlDriver::NotificationSource,
                              const QVariant &payload)
{
    if (channel == QLatin1String("delete_tags_notf")) {
        m_notifiedDelete = true;
    } else if (channel == QLatin1String("insert_tags_notf") ||
               channel == QLatin1String("update_tags_notf")) {
        bool isNumber = false;
        const qint64 id = payload.toString().toLongLong(&isNumber);
        if (!isNumber)
            return;
        m_notifiedIds.insert(id);
    } else {
        return;
    }
    if (m_notifyTimer->isActive())
        return;
    // Notifications that came with this one are delivered before the timer fires.
    const qint64 sinceRead =
        m_sinceNotifiedRead.isValid() ? m_sinceNotifiedRead.elapsed() : kNotifyWindowMs;
    m_notifyTimer->start(int(std::max<qint64>(0, kNotifyWindowMs - sinceRead)));
}

// The rows notified since the last read, read with one statement; a
// deletion has every row read again instead, once for all of them.
void TagStore::loadNotifiedRows()
{
    if (!m_available || !m_rowsRead)
        return;
    m_sinceNotifiedRead.start();
    if (m_notifiedDelete) {
        m_notifiedDelete = false;
        m_notifiedIds.clear();
        reloadTable(true);
        return;
    }
    const QList<qint64> ids = m_notifiedIds.values();
    m_notifiedIds.clear();
    TagRows rows;
    if (!readRowsById(ids, rows))
        return;
    TagRows changed;
    for (const TagRow &row : qAsConst(rows)) {
        const auto held = m_rows.constFind(row.id);
        if (held != m_rows.constEnd() && *held == row)
            continue; // the echo of the store's own write
        holdRow(row);
        changed.append(row);
    }
    if (changed.isEmpty())
        return;
    emit rowsChanged(changed);
    handToCore(changed);
}

void TagStore::poll()
{
    if (m_available && m_rowsRead)
        reloadTable(false);
}

void TagStore::editCell(qint64 id, int column, const QString &text)
{
    if (!m_available) {
        emit cellEditRefused(id, tr("the database is not reachable"));
        return;
    }
    flushWrites();
    QSqlQuery update(m_db);
    update.prepare(QStringLiteral("UPDATE tags SET %1 = ? WHERE %2 = ?")
                       .arg(m_fieldNames.value(column), m_idField));
    update.bindValue(0, text);
    update.bindValue(1, id);
    limitOdbcStatement(update);
    const bool ok = update.exec() && update.numRowsAffected() > 0;
    m_sinceStatement.start();
    if (!ok) {
        const QSqlError error = update.lastError();
        if (error.isValid())
            failed(error);
        emit cellEditRefused(id, error.isValid() ? error.text().simplified()
                                                 : tr("the row is no longer in the table"));
        return;
    }
    TagRows rows;
    if (!readRowsById({id}, rows) || rows.isEmpty())
        return;
    holdRow(rows.first());
    emit rowsChanged(rows);
    handToCore(rows);
}

void TagStore::runDeveloperStatement(const QString &statement)
{
    const bool ok = exec(statement).isActive();
    QMessageLogger().debug() << (ok ? "OK" : "ERROR") << statement;
    // Without notifications the table is read again, so the window and the
    // tags follow the statement.
    if (ok && m_type != QLatin1String("POSTGRESQL") && m_rowsRead)
        reloadTable(false);
}

// ---- Faults

// A lost connection, a lock held by another connection, a timeout: the
// statement may succeed later. Drivers report their servers' own codes, so
// beyond the SQLSTATEs every driver shares, the connection is asked whether it
// still answers: a database that answers refused the statement.
bool TagStore::isPassingFault(const QSqlError &error)
{
    if (!m_db.isOpen())
        return true;
    const QString code = error.nativeErrorCode();
    // SQLite reports refusals as connection errors too, so the type says
    // nothing; a file has no connection to lose, only locks.
    if (m_type == QLatin1String("SQLLITE"))
        return code == QLatin1String("5") || code == QLatin1String("6") ||
               error.text().contains(QLatin1String("database is locked"));
    return isPassingState(code) || !connectionAnswers();
}

bool TagStore::connectionAnswers()
{
    QSqlQuery probe(m_db);
    const bool ok = runBounded(probe, QStringLiteral("SELECT 1"));
    m_sinceStatement.start();
    return ok;
}

// Qt's ODBC driver keeps a dead link open, so a connection that does not
// answer is opened anew.
bool TagStore::reconnect()
{
    if (m_db.isOpen() && connectionAnswers())
        return true;
    return openConnection() && connectionAnswers();
}

void TagStore::failed(const QSqlError &error)
{
    if (isPassingFault(error))
        enterOutage(error.text().simplified());
}

// Said once per outage; the retries stay quiet.
void TagStore::enterOutage(const QString &reason)
{
    if (m_available) {
        m_available = false;
        emit availabilityChanged(false);
    }
    if (!m_outageLogged) {
        m_outageLogged = true;
        log(QStringLiteral("critical"), QStringLiteral("SQL database unavailable: ") + reason,
            Q_FUNC_INFO);
    }
    scheduleRetry();
}

void TagStore::scheduleRetry()
{
    if (m_retryTimer->isActive())
        return;
    m_retryDelayMs =
        m_retryDelayMs == 0 ? kFirstRetryMs : std::min(2 * m_retryDelayMs, kMaxRetryMs);
    m_retryTimer->start(m_retryDelayMs);
}

// Opens the connection again when it is gone, writes what clients wrote
// meanwhile, and only then reads the table again, so those values win over
// rows changed meanwhile and every other change reaches the tags.
void TagStore::retry()
{
    if (!m_opened) {
        if (openConnection())
            onOpened();
        else
            scheduleRetry();
        return;
    }
    if (!reconnect()) {
        scheduleRetry();
        return;
    }
    m_available = true;
    QSqlQuery probe(m_db);
    if (!runBounded(probe, QStringLiteral("SELECT 1 FROM tags WHERE 1 = 0"))) {
        m_sinceStatement.start();
        if (isPassingFault(probe.lastError())) {
            enterOutage(probe.lastError().text().simplified());
            return;
        }
    }
    flushWrites();
    if (!m_available)
        return;
    m_retryDelayMs = 0;
    m_outageLogged = false;
    log(QStringLiteral("info"), QStringLiteral("SQL database available again"), Q_FUNC_INFO);
    emit availabilityChanged(true);
    reloadTable(false);
}

void TagStore::checkConnection()
{
    if (!m_available)
        return;
    if (!m_db.isOpen()) {
        enterOutage(tr("the connection was closed"));
        return;
    }
    if (m_type == QLatin1String("SQLLITE") || m_sinceStatement.elapsed() < kIdleProbeMs)
        return;
    if (!connectionAnswers())
        enterOutage(tr("the database does not answer"));
}
