#ifndef WRITEJOURNAL_H
#define WRITEJOURNAL_H

#include <QSqlDatabase>
#include <QString>
#include <QVector>

// A client's value for a key, as its rows are to hold it.
struct KeyValue {
    QString key;
    QString text;
};
using KeyValues = QVector<KeyValue>;

// The clients' values the database does not hold yet, kept in a local SQLite
// file so a stop or a crash loses none of them: at most the latest value per
// key, so the file never holds more entries than there are tags. Used on one
// thread only, with a connection of its own. Each batch is one transaction;
// the file is synced at checkpoints, which sync() asks for.
class WriteJournal
{
public:
    // Opens (or creates) the journal file in this folder.
    explicit WriteJournal(const QString &dataDir);
    ~WriteJournal();
    WriteJournal(const WriteJournal &) = delete;
    WriteJournal &operator=(const WriteJournal &) = delete;

    static const char *const kFileName;

    bool isOpen() const { return m_db.isOpen(); }
    QString filePath() const { return m_db.databaseName(); }
    // What a previous run left, oldest first.
    KeyValues entries();
    int count();
    // These values replace the keys' earlier ones.
    void record(const KeyValues &values);
    // The rows hold these values now; a key that has another value since stays.
    void remove(const KeyValues &stored);
    // Makes the recorded batches survive a crash of the machine.
    void sync();

private:
    enum class Numbered { No, Yes };
    bool inTransaction(const KeyValues &values, Numbered numbered, const QString &statement);

    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_unsynced = false;
    qint64 m_lastSeq = 0; // the order of arrival of the latest value recorded
};

#endif // WRITEJOURNAL_H
