#ifndef TAGSTORE_H
#define TAGSTORE_H

#include "tagrow.h"
#include "writejournal.h"
#include "writemailbox.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSqlError;

// A client's value as the rows of its key now hold it.
struct StoredValue {
    QString key;
    QString text;
    int rowCount = 0;
};
using StoredValues = QVector<StoredValue>;
Q_DECLARE_METATYPE(StoredValue)

// The tags table and everything SQL, on a thread of its own with its own
// connection. The gateway core and the window talk to it only through queued
// signals and slots: nothing here ever blocks them.
//
// The store keeps the rows as last read or written. Client values wait in a
// queue, the latest per key, and are written in batches; while the database is
// unreachable they stay queued and are written once it is back, before the
// table is read again. Changes made in SQL reach the core as rows: announced by
// PostgreSQL's notifications, found by polling, or read after a reconnect.
class TagStore : public QObject
{
    Q_OBJECT

public:
    // sqlConfig is the content of sql.json; dataDir the folder SQLite paths
    // are relative to, which holds the write journal too.
    TagStore(const QJsonObject &sqlConfig, const QString &dataDir);
    ~TagStore() override;

    // What a stop did with the clients' values.
    struct StopReport {
        int written = 0;
        int kept = 0;
    };

    static const char *const kInitSqlFunction;
    // The ODBC connection string for SQL Server from sql.json's values.
    static QString odbcConnectionString(const QJsonObject &sqlConfig);

    // A client's value for every row whose key is the tag's name; any thread.
    // The store takes the latest value per key, so a blocked store holds no
    // more than one value per tag.
    void post(const QString &key, const QString &text);
    // On the store's thread: writes what clients wrote for at most a few
    // seconds, keeps the rest in the journal and closes the connections; the
    // store then belongs to mainThread and can be deleted there, and its own
    // thread quits.
    StopReport shutdown(QThread *mainThread);

public slots:
    // Opens the database, creates the configured tables and their notification
    // triggers, and reads the table; the core gets the rows two seconds after
    // this call. A database that cannot be opened is tried again and again.
    void start();
    // An operator's edit of one cell of the row with this id.
    void editCell(qint64 id, int column, const QString &text);
    // The developer panel's statements, reported on Qt's debug output.
    void runDeveloperStatement(const QString &statement);

signals:
    // A line for the gateway's log: level, function text, message.
    void logLine(const QString &level, const QString &function, const QString &message);
    // Rows for the window: new or changed ones, and ids of rows gone.
    void rowsChanged(const TagRows &rows);
    void rowsRemoved(const TagRowIds &ids);
    // Rows the core turns into tags or tag values.
    void tagRowsRead(const TagRows &rows, bool wholeTable);
    // Clients' values are in their keys' rows, one report per batch written;
    // or a value was refused.
    void valuesStored(const StoredValues &values);
    void valueRefused(const QString &key, const QString &error);
    // An operator's edit was not stored.
    void cellEditRefused(qint64 id, const QString &error);
    void availabilityChanged(bool available);

private:
    bool configureConnection();
    bool openConnection();
    void onOpened();
    void prepareConnection();
    void createTables();
    void createNotifyTriggers(const QString &tableName);
    QSqlQuery exec(const QString &statement);

    // Rows: reading, comparing with those held, handing on.
    bool select(QSqlQuery &query, const QString &statement);
    bool readToEnd(const QSqlQuery &query);
    bool readAllRows(TagRows &rows);
    bool readRowsById(const QList<qint64> &ids, TagRows &rows);
    void readRow(const QSqlQuery &query, int columns, TagRows &rows) const;
    void holdRow(const TagRow &row);
    void dropRow(qint64 id);
    void reloadTable(bool allRowsToCore);
    void handToCore(const TagRows &rows, bool wholeTable = false);
    void firstLoad();

    // Notifications and polling.
    void onNotification(const QString &channel, QSqlDriver::NotificationSource,
                        const QVariant &payload);
    void loadNotifiedRows();
    void poll();

    // Client writes.
    void takeMailbox();
    void takeValues(const KeyValues &values);
    void replayJournal();
    void flushWrites();
    bool writeKeys(const QStringList &keys, QSqlError &error);
    QSqlQuery *valueUpdate(QSqlError &error);
    void reportStored(const QStringList &keys);
    QStringList keysToWrite() const;
    void refuse(const QString &key, const QString &error);
    TagRows rowsOfKey(const QString &key) const;
    bool writeBeforeStop();

    // Faults.
    bool isPassingFault(const QSqlError &error);
    bool connectionAnswers();
    bool reconnect();
    void failed(const QSqlError &error);
    void enterOutage(const QString &reason);
    void scheduleRetry();
    void retry();
    void checkConnection();
    void log(const QString &level, const QString &message, const char *function);

    QJsonObject m_config;
    QString m_dataDir;
    QString m_type;
    QString m_connectionName;
    QSqlDatabase m_db;
    QString m_idField = QStringLiteral("id");
    QString m_valueField = QStringLiteral("value");
    QStringList m_fieldNames;

    bool m_opened = false;    // opened once: the tables exist
    bool m_available = false; // statements can run
    bool m_outageLogged = false;
    bool m_rowsRead = false;
    bool m_tableReadSinceOpen = false;
    bool m_firstLoadDue = false;
    bool m_firstLoadDone = false;
    int m_retryDelayMs = 0;
    QElapsedTimer m_sinceStatement;
    QElapsedTimer m_sinceNotifiedRead;

    QHash<qint64, TagRow> m_rows;
    QHash<QString, QVector<qint64>> m_idsByKey;

    std::unique_ptr<QSqlQuery> m_valueUpdate; // prepared on first use
    QStringList m_pendingKeys;                // in arrival order
    QHash<QString, QString> m_pendingValues;
    WriteMailbox m_mailbox;
    std::unique_ptr<WriteJournal> m_journal; // on the store's thread, from start()

    QSet<qint64> m_notifiedIds;
    bool m_notifiedDelete = false;

    QTimer *m_firstLoadTimer;
    QTimer *m_notifyTimer;
    QTimer *m_retryTimer;
    QTimer *m_checkTimer;
    QTimer *m_pollTimer;
    QTimer *m_journalSyncTimer;
};

#endif // TAGSTORE_H
