#ifndef INTERNAL_FUNCTIONS_H
#define INTERNAL_FUNCTIONS_H

#include "gatewaypaths.h"
#include "tagrow.h"
#include "tagstore.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QVariant>
#include <memory>

class LogModel;
class QUaServer;
class QUaBaseDataVariable;
class AddressSpace;
class GatewayLog;
class RowQueue;

// The gateway core: loads the configuration, builds the OPC UA address space,
// opens the database and moves tag values between the two.
class cInternalFunctions : public QObject
{
    Q_OBJECT

public:
    // Window lines go to logModel when there is one. The settings are read from
    // the paths' settings folder, the data kept in its data folder.
    cInternalFunctions(LogModel *logModel, bool *configLoaded,
                       const GatewayPaths &paths = GatewayPaths::besideExecutable());
    // Closes the database and stops the OPC UA server, telling its clients.
    ~cInternalFunctions() override;

    void InitOPC();
    // Whether the OPC UA server serves: false before InitOPC and when it could not start.
    bool opcServing() const;
    void InitSQL();

    // Tags: a tag record is a JSON object with "TagName", "NodeId", "Format",
    // "Value", "WriteAccess" and "Description".
    int formatToType(const QJsonObject &tag);
    bool findTagValue(QString name, QVariant &value);
    bool createNewTag(const QJsonObject &tag);
    bool updateTagIfChanged(QString name, QVariant value, QString format);
    bool setTagValue(const QJsonObject &tag);

    // Both directions of the tags table: a client's value into the rows of its
    // key, and rows into tags.
    void writeTagToSql(QString name, const QVariant &value, const bool &networkChange);
    void loadTagRow(const TagRow &row);

    // The tag store that owns the tags table on its own thread; null without a
    // database. The window's model follows its rows.
    TagStore *tagStore() const { return m_store; }
    // An operator's edit of one cell of the row with this id.
    void editCell(qint64 id, int column, const QString &text);

    // Developer statements of the hidden debug panel, reported on Qt's debug output.
    void clearTagsTable();
    void fillTagsTable(int count);

    void writeLog(const QString &file, int line, const QString &function, const QString &level,
                  const QString &message);
    int showMessageBox(const QString &title, const QString &informativeText);

    bool loadJsonFile(const QString &fileName, QJsonObject &target);
    bool parseJson(const QString &text, QJsonObject &target);

    QJsonObject m_sqlConfig;
    QJsonObject m_settings;
    QJsonObject m_tagConfig;
    QUaServer *m_opcServer = nullptr; // owned: stopped and deleted with the core
    bool m_ready = false;
    // The folders and tags; made by InitOPC, owned by the core.
    AddressSpace *m_addressSpace = nullptr;
    const GatewayPaths m_paths;

signals:
    void sql_updated();
    // To the tag store, queued onto its thread.
    void cellEditToStore(qint64 id, int column, const QString &text);
    void statementToStore(const QString &statement);

private:
    std::unique_ptr<GatewayLog> m_log;
    // The store and its thread; the rows and stored values it reports wait in
    // m_rowQueue.
    TagStore *m_store = nullptr;
    std::unique_ptr<QThread> m_storeThread;
    RowQueue *m_rowQueue = nullptr; // a child

private slots:
    void slot_OPCUA_Tag_changed(QUaBaseDataVariable *tag, const QVariant &value,
                                bool networkChange);
    void slot_SQL_rowsRead(const TagRows &rows, bool wholeTable);
    void slot_SQL_valuesStored(const StoredValues &values);
    void slot_SQL_valueRefused(const QString &key, const QString &error);
    void slot_SQL_log(const QString &level, const QString &function, const QString &message);

private:
    void applyServerIdentity();
    void applySecurity();
    void addUser();
    void startServing();
    void printServerEvents();
    bool writeTagValue(const QString &name, const QVariant &value, const QString &format);
    QUaBaseDataVariable *findTag(const QString &name);

    void startStore();
    void stopStore();
    void runDeveloperStatement(const QString &statement);
    void setUpRowQueue();
    void logStoredValue(const StoredValue &stored);
};

#endif // INTERNAL_FUNCTIONS_H
