// The tag store's write path: clients' values from the mailbox through the
// journal into their rows, and the bounded writing at a stop.
#include "tagstore.h"

#include "sqldialect.h"

#include <QSet>
#include <QSqlError>
#include <QThread>
#include <algorithm>

namespace
{

// A stop writes the clients' values for at most this long; the rest waits in
// the journal for the next start.
constexpr qint64 kStopWritingMs = 3000;
constexpr unsigned long kStopRetryPauseMs = 200;

} // namespace

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
    // What landed is reported once, so the pending list is walked once.
    QStringList stored;
    for (const QString &key : keys) {
        if (writeKeys({key}, error)) {
            stored.append(key);
        } else if (isPassingFault(error)) {
            enterOutage(error.text().simplified());
            break;
        } else {
            refuse(key, error.text().simplified());
        }
    }
    if (!stored.isEmpty())
        reportStored(stored);
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
    SqlDialect::limitOdbcStatement(*update);
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
    if (keys.size() == m_pendingKeys.size()) {
        m_pendingKeys.clear();
    } else {
        const QSet<QString> done(keys.cbegin(), keys.cend());
        m_pendingKeys.erase(
            std::remove_if(m_pendingKeys.begin(), m_pendingKeys.end(),
                           [&done](const QString &key) { return done.contains(key); }),
            m_pendingKeys.end());
    }
    if (m_journal)
        m_journal->remove(held);
    emit valuesStored(stored);
    if (!written.isEmpty())
        emit rowsChanged(written);
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
