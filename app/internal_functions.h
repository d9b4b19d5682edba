#ifndef INTERNAL_FUNCTIONS_H
#define INTERNAL_FUNCTIONS_H

#include <QAbstractItemModel>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QVector>
#include <memory>

class QPlainTextEdit;
class QUaServer;
class QUaFolderObject;
class QUaBaseObject;
class QUaBaseDataVariable;
class QUaProperty;
class MySqlTableModelResult;

// The rows of a model by the text of one of its columns, each text's rows in
// ascending order.
class TagRowIndex
{
public:
    explicit TagRowIndex(int column) : m_column(column) {}

    int column() const { return m_column; }
    int size() const { return m_texts.size(); }
    void clear();
    void append(const QString &text);
    void update(int row, const QString &text);
    QVector<int> rowsOf(const QString &text) const { return m_rows.value(text); }

private:
    int m_column;
    QHash<QString, QVector<int>> m_rows;
    QVector<QString> m_texts;
};

// The gateway core: loads the configuration, builds the OPC UA address space,
// opens the database and moves tag values between the two.
class cInternalFunctions : public QObject
{
    Q_OBJECT

public:
    cInternalFunctions(QPlainTextEdit *logPane, bool *configLoaded);

    void InitOPC();
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
    void loadTagRow(int id);
    void reloadAllTags();

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
    QSqlDatabase m_db;
    QUaServer *m_opcServer = nullptr; // never deleted: it serves until the process ends
    // The window owns the model; the pointer clears itself when the window goes.
    QPointer<MySqlTableModelResult> m_tableModel;
    bool m_ready = false;
    // The nodes belong to the address space, and any client may delete them
    // (their objects go with them): the core only watches them.
    QPointer<QUaFolderObject> m_folderMain;
    QPointer<QUaBaseObject> m_folderSub;
    QPointer<QUaBaseDataVariable> m_currentTag;
    QPointer<QUaProperty> m_currentProperty;
    // In creation order, file tags first; a tag whose node was deleted leaves
    // the list at the next lookup of its name, or once its object is gone.
    QList<QPointer<QUaBaseDataVariable>> m_tags;
    std::unique_ptr<QSqlQuery> m_sqlQuery;
    QPlainTextEdit *m_logPane = nullptr;
    QTimer m_checkTimer;
    QString m_pendingNotification = QStringLiteral("delete_tags_notf");
    QString m_pendingPayload = QStringLiteral("1");

signals:
    void sql_updated();

private:
    // m_tags by browse name, each name's tags in creation order, so the first
    // live one is the first match of a scan of m_tags.
    QHash<QString, QList<QPointer<QUaBaseDataVariable>>> m_tagsByName;
    // Set when a tag's object went: null entries are swept at the next lookup.
    bool m_tagsDestroyed = false;
    // The model's rows by key and by id, kept in step with the model's signals;
    // after a reset or a new order they are read again at the next lookup.
    QPointer<QAbstractItemModel> m_indexedModel;
    bool m_rowsIndexed = false;
    TagRowIndex m_rowsByKey;
    TagRowIndex m_rowsById;

private slots:
    void slot_OPCUA_Tag_changed(const QVariant &value, const bool &networkChange);
    void slot_Model_dataChanged(const QString &name, QSqlDriver::NotificationSource source,
                                const QVariant &payload);
    void slot_iTimerCheckSQL();

private:
    void applyServerIdentity();
    void applySecurity();
    void printServerEvents();
    void addFolders();
    void addProperties();
    void addFileTags();
    QUaBaseDataVariable *addTagVariable(const QJsonObject &tag, int type);
    QUaBaseDataVariable *findTag(const QString &name);
    void listTag(QUaBaseDataVariable *variable);
    bool isDeletedTag(const QPointer<QUaBaseDataVariable> &tag) const;
    void forgetTag(const QString &name, const QPointer<QUaBaseDataVariable> &tag);
    void forgetDestroyedTags();

    bool openDatabase();
    void createTables();
    void createNotifyRules(const QString &tableName);
    void startWatchingTags();
    void runDeveloperStatement(const QString &statement);

    int fetchTagRows();
    QString tagCell(int row, int column) const;
    int modelRowOfId(int id);
    void indexTagRows();
    void watchTagRows();
    void forgetTagRows();
    void indexInsertedRows(const QModelIndex &parent, int first, int last);
    void indexChangedRows(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    QJsonObject tagRecordOfRow(int row) const;
    void refreshTagRow(int id);
    bool writeRowsOneByOne(const QVector<int> &rows, const QString &name, const QString &text);
    bool writeRowsAndReadTable(const QVector<int> &rows, const QString &name, const QString &text);
    void logOpcChange(const QString &name, const QString &text);
    bool orderDependsOn(int column) const;
    void restartCheckTimer();
};

#endif // INTERNAL_FUNCTIONS_H
