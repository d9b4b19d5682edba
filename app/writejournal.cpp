#include "writejournal.h"

#include <QDir>
#include <QMessageLogger>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

const char *const WriteJournal::kFileName = "write-journal.db";

namespace
{

QSqlQuery run(const QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement))
        QMessageLogger().warning("Write journal: %s: %s", qPrintable(statement),
                                 qPrintable(query.lastError().text()));
    return query;
}

} // namespace

// WAL with synchronous=NORMAL: a commit costs no sync, a process that dies
// loses nothing committed, and the checkpoint of sync() bounds what a crash of
// the machine can lose.
WriteJournal::WriteJournal(const QString &dataDir)
    : m_connectionName(QStringLiteral("write journal %1").arg(quintptr(this)))
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(QDir(dataDir).filePath(QLatin1String(kFileName)));
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=1000"));
    if (!m_db.open()) {
        QMessageLogger().critical("Write journal %s not opened: %s",
                                  qPrintable(m_db.databaseName()),
                                  qPrintable(m_db.lastError().text()));
        return;
    }
    run(m_db, QStringLiteral("PRAGMA journal_mode = WAL"));
    run(m_db, QStringLiteral("PRAGMA synchronous = NORMAL"));
    run(m_db, QStringLiteral("CREATE TABLE IF NOT EXISTS pending (key TEXT PRIMARY KEY, "
                             "value TEXT NOT NULL, seq INTEGER NOT NULL)"));
    QSqlQuery last = run(m_db, QStringLiteral("SELECT coalesce(max(seq), 0) FROM pending"));
    m_lastSeq = last.next() ? last.value(0).toLongLong() : 0;
}

WriteJournal::~WriteJournal()
{
    if (m_db.isOpen())
        sync();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

KeyValues WriteJournal::entries()
{
    KeyValues values;
    QSqlQuery query = run(m_db, QStringLiteral("SELECT key, value FROM pending ORDER BY seq"));
    while (query.next())
        values.append({query.value(0).toString(), query.value(1).toString()});
    return values;
}

int WriteJournal::count()
{
    QSqlQuery query = run(m_db, QStringLiteral("SELECT count(*) FROM pending"));
    return query.next() ? query.value(0).toInt() : 0;
}

// The order of arrival is counted here: asking the table for its largest
// number would read every entry for each value.
void WriteJournal::record(const KeyValues &values)
{
    inTransaction(
        values, Numbered::Yes,
        QStringLiteral("INSERT OR REPLACE INTO pending (key, value, seq) VALUES (?, ?, ?)"));
}

void WriteJournal::remove(const KeyValues &stored)
{
    inTransaction(stored, Numbered::No,
                  QStringLiteral("DELETE FROM pending WHERE key = ? AND value = ?"));
}

void WriteJournal::sync()
{
    if (!m_unsynced || !m_db.isOpen())
        return;
    m_unsynced = false;
    run(m_db, QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
}

// One statement per value, all in one transaction: one commit per batch.
bool WriteJournal::inTransaction(const KeyValues &values, Numbered numbered,
                                 const QString &statement)
{
    if (values.isEmpty() || !m_db.isOpen())
        return false;
    m_db.transaction();
    QSqlQuery query(m_db);
    bool ok = query.prepare(statement);
    for (auto value = values.cbegin(); ok && value != values.cend(); ++value) {
        query.bindValue(0, value->key);
        query.bindValue(1, value->text);
        if (numbered == Numbered::Yes)
            query.bindValue(2, ++m_lastSeq);
        ok = query.exec();
    }
    if (!ok) {
        QMessageLogger().warning("Write journal: %s", qPrintable(query.lastError().text()));
        m_db.rollback();
        return false;
    }
    m_unsynced = true;
    return m_db.commit();
}
