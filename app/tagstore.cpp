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

// A stop writes the clients' values for at most this long; the rest waits in
// the journal for the next start.
constexpr qint64 kStopWritingMs = 3000;
// The journal's commits wait for no disk; it is synced this often, which
// bounds what a crash of the machine can lose.
constexpr int kJournalSyncMs = 1000;
constexpr unsigned long kStopRetryPauseMs = 200;

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
    handToCore(toCore);
    if (m_firstLoadDue && !m_firstLoadDone)
        firstLoad();
}

// Before the first load the core gets nothing: that load hands it every row.
// A row whose key has a client's value waiting is older than its tag.
void TagStore::handToCore(const TagRows &rows)
{
    if (!m_firstLoadDone)
        return;
    TagRows current;
    current.reserve(rows.size());
    for (const TagRow &row : rows)
        if (!m_pendingValues.contains(row.key))
            current.append(row);
    if (!current.isEmpty())
        emit tagRowsRead(current);
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
    handToCore(rows);
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

// ---- Client writes

void TagStore::post(const QString &key, const QString &text)
{
    if (m_mailbox.post(key, text))
        QMetaObject::invokeMethod(this, &TagStore::takeMailbox, Qt::QueuedConnection);
}

// Everything clients wrote since the last take, journaled in one transaction
// before it is written; the writes run while the mailbox fills again.
void TagStore::takeMailbox()
{
    const KeyValues values = m_mailbox.take();
    if (values.isEmpty())
        return;
    if (m_journal)
        m_journal->record(values);
    takeValues(values);
    flushWrites();
}

void TagStore::takeValues(const KeyValues &values)
{
    for (const KeyValue &value : values) {
        if (!m_pendingValues.contains(value.key))
            m_pendingKeys.append(value.key);
        m_pendingValues.insert(value.key, value.text);
    }
}

// What a previous run could not write waits as if clients had just written
// it: it is written as soon as the rows are read, before the core gets them.
void TagStore::replayJournal()
{
    const KeyValues values = m_journal->entries();
    if (values.isEmpty())
        return;
    log(QStringLiteral("info"),
        QStringLiteral("Write journal: %1 values to write from the last run").arg(values.size()),
        Q_FUNC_INFO);
    takeValues(values);
}

// Writes the pending values in one transaction. When the database refuses
// one, each key is written again on its own, so only the refused ones are
// reported and dropped. While the database is unreachable everything stays
// pending.
void TagStore::flushWrites()
{
    if (!m_available || !m_rowsRead || m_pendingKeys.isEmpty())
        return;
    const QStringList keys = keysToWrite();
    if (keys.isEmpty())
        return;
    QSqlError error;
    if (writeKeys(keys, error)) {
        reportStored(keys);
        return;
    }
    if (isPassingFault(error)) {
        enterOutage(error.text().simplified());
        return;
    }
    for (const QString &key : keys) {
        if (writeKeys({key}, error)) {
            reportStored({key});
        } else if (isPassingFault(error)) {
            enterOutage(error.text().simplified());
            return;
        } else {
            refuse(key, error.text().simplified());
        }
    }
}

// Rows may have come while the connection was gone: until the table is read
// again, a key without known rows waits rather than count as stored in none.
QStringList TagStore::keysToWrite() const
{
    if (m_tableReadSinceOpen)
        return m_pendingKeys;
    QStringList keys;
    for (const QString &key : m_pendingKeys)
        if (!m_idsByKey.value(key).isEmpty())
            keys.append(key);
    return keys;
}

// The value leaves the store and the journal, and the core gets the key's
// rows back, so the tag shows what the database holds.
void TagStore::refuse(const QString &key, const QString &error)
{
    const QString text = m_pendingValues.take(key);
    m_pendingKeys.removeOne(key);
    if (m_journal)
        m_journal->remove({{key, text}});
    emit valueRefused(key, error);
    handToCore(rowsOfKey(key));
}

TagRows TagStore::rowsOfKey(const QString &key) const
{
    TagRows rows;
    for (const qint64 id : m_idsByKey.value(key))
        rows.append(m_rows.value(id));
    return rows;
}

bool TagStore::writeKeys(const QStringList &keys, QSqlError &error)
{
    int rowCount = 0;
    for (const QString &key : keys)
        rowCount += m_idsByKey.value(key).size();
    const bool inTransaction = rowCount > 1 && m_db.transaction();
    QSqlQuery *update = valueUpdate(error);
    bool ok = update != nullptr;
    for (auto key = keys.cbegin(); ok && key != keys.cend(); ++key) {
        const QString text = m_pendingValues.value(*key);
        for (const qint64 id : m_idsByKey.value(*key)) {
            update->bindValue(0, text);
            update->bindValue(1, id);
            if (!(ok = update->exec()))
                break;
        }
    }
    m_sinceStatement.start();
    if (update && !ok)
        error = update->lastError();
    else if (update)
        update->finish();
    if (inTransaction) {
        if (ok && !m_db.commit()) {
            ok = false;
            error = m_db.lastError();
        }
        if (!ok)
            m_db.rollback();
    }
    // After a failure the statement is prepared anew, in case it went with it.
    if (!ok)
        m_valueUpdate.reset();
    return ok;
}

// The statement that stores a client's value, prepared once per connection:
// preparing it for every flush cost two more round trips each time.
QSqlQuery *TagStore::valueUpdate(QSqlError &error)
{
    if (m_valueUpdate)
        return m_valueUpdate.get();
    auto update = std::make_unique<QSqlQuery>(m_db);
    if (!update->prepare(
            QStringLiteral("UPDATE tags SET %1 = ? WHERE %2 = ?").arg(m_valueField, m_idField))) {
        error = update->lastError();
        m_sinceStatement.start();
        return nullptr;
    }
    limitOdbcStatement(*update);
    m_valueUpdate = std::move(update);
    return m_valueUpdate.get();
}

// The written rows now hold the values: the window shows them, the core logs
// them; their notifications will find nothing new.
void TagStore::reportStored(const QStringList &keys)
{
    TagRows written;
    StoredValues stored;
    KeyValues held;
    stored.reserve(keys.size());
    held.reserve(keys.size());
    for (const QString &key : keys) {
        const QString text = m_pendingValues.take(key);
        held.append({key, text});
        const QVector<qint64> ids = m_idsByKey.value(key);
        for (const qint64 id : ids) {
            TagRow &row = m_rows[id];
            row.value = text;
            written.append(row);
        }
        stored.append({key, text, int(ids.size())});
    }
    if (keys.size() == m_pendingKeys.size())
        m_pendingKeys.clear();
    else
        for (const QString &key : keys)
            m_pendingKeys.removeOne(key);
    if (m_journal)
        m_journal->remove(held);
    emit valuesStored(stored);
    if (!written.isEmpty())
        emit rowsChanged(written);
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

// ---- Stop

TagStore::StopReport TagStore::shutdown(QThread *mainThread)
{
    for (QTimer *timer : {m_firstLoadTimer, m_notifyTimer, m_retryTimer, m_checkTimer, m_pollTimer,
                          m_journalSyncTimer})
        timer->stop();
    takeMailbox();
    StopReport report;
    const int waiting = m_pendingKeys.size();
    if (waiting > 0 && !writeBeforeStop())
        log(QStringLiteral("warning"),
            QStringLiteral("Stopping: the database did not take "
                           "every value in time"),
            Q_FUNC_INFO);
    report.written = waiting - m_pendingKeys.size();
    report.kept = m_journal ? m_journal->count() : m_pendingKeys.size();
    m_valueUpdate.reset();
    m_journal.reset();
    m_db.close();
    m_db = QSqlDatabase();
    if (!m_connectionName.isNull())
        QSqlDatabase::removeDatabase(m_connectionName);
    moveToThread(mainThread);
    QThread::currentThread()->quit();
    return report;
}

// Tries for a bounded time: a locked or restarting database may take the
// values a moment later.
bool TagStore::writeBeforeStop()
{
    // Without a table read there are no rows to write into.
    if (!m_rowsRead)
        return false;
    QElapsedTimer elapsed;
    elapsed.start();
    while (true) {
        if (m_available || reconnect()) {
            m_available = true;
            flushWrites();
        }
        if (m_pendingKeys.isEmpty())
            return true;
        if (elapsed.elapsed() + qint64(kStopRetryPauseMs) >= kStopWritingMs)
            return false;
        QThread::msleep(kStopRetryPauseMs);
    }
}
