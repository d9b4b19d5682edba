#ifndef INTERNAL_FUNCTIONS_H
#define INTERNAL_FUNCTIONS_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <memory>

class QPlainTextEdit;
class QUaServer;
class QUaFolderObject;
class QUaBaseObject;
class QUaBaseDataVariable;
class QUaProperty;
class MySqlTableModelResult;

// The gateway core: loads the configuration, builds the OPC UA address space,
// opens the database and moves tag values between the two.
class cInternalFunctions : public QObject
{
    Q_OBJECT

public:
    cInternalFunctions(QPlainTextEdit *logPane, bool *configLoaded);

    void InitOPC();
    void InitSQL();

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
    QUaServer *m_opcServer = nullptr;
    // The window owns the model; the pointer clears itself when the window goes.
    QPointer<MySqlTableModelResult> m_tableModel;
    bool m_ready = false;
    QUaFolderObject *m_folderMain = nullptr;
    QUaBaseObject *m_folderSub = nullptr;
    QUaBaseDataVariable *m_currentTag = nullptr;
    QUaProperty *m_currentProperty = nullptr;
    QList<QUaBaseDataVariable *> m_tags;
    std::unique_ptr<QSqlQuery> m_sqlQuery;
    QPlainTextEdit *m_logPane = nullptr;
    QTimer m_checkTimer;
    QString m_pendingNotification = QStringLiteral("delete_tags_notf");
    QString m_pendingPayload = QStringLiteral("1");

signals:
    void sql_updated();

private slots:
    void slot_Model_dataChanged(const QString &name, QSqlDriver::NotificationSource source,
                                const QVariant &payload);
    void slot_iTimerCheckSQL();

private:
    bool openDatabase();
    void createTables();
    void createNotifyRules(const QString &tableName);
    void startWatchingTags();
    void runDeveloperStatement(const QString &statement);
};

#endif // INTERNAL_FUNCTIONS_H
