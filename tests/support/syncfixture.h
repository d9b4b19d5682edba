#ifndef SYNCFIXTURE_H
#define SYNCFIXTURE_H

// The gateway core started as the window starts it (OPC UA, SQL, the window's
// model over the tags table, ready), a client subscription that collects the
// values a client is sent, and the tags table with its configuration.
#include "mysqltablemodelresult.h"
#include "quavalueconverter.h"
#include "support/gatewayfixture.h"
#include "tagstore.h"

#include <open62541/client_subscriptions.h>

#include <QJsonArray>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>

#include <signal.h>

// The "Tables" entry of sql.json as the default configuration declares it.
inline QJsonArray tagsTables()
{
    return {QJsonDocument::fromJson(R"({"TableName": "tags", "PrimaryKey": "id", "Columns": [
        {"Name": "id", "Type": "INTEGER", "AutoIncrement": "", "Null": "NOT NULL"},
        {"Name": "number", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "key", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "value", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "type", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "description", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "format", "Type": "TEXT", "AutoIncrement": "", "Null": ""}]})")
                .object()};
}

// The same table as the gateway would create it.
const char kCreateTags[] = "CREATE TABLE tags (id INTEGER NOT NULL, number TEXT, key TEXT, "
                           "value TEXT, type TEXT, description TEXT, format TEXT, "
                           "PRIMARY KEY (id))";

inline QJsonObject sqliteConfig(const QString &localPath, const QJsonArray &tables = tagsTables())
{
    return {{"sql_enable", true},
            {"database_type", "SQLLITE"},
            {"database_name", "store"},
            {"database_localpath", localPath},
            {"Tables", tables}};
}

// The folders only: every tag comes from SQL, unless file tags are given.
inline QByteArray tagsFile(const QString &fileTags = QString())
{
    const QString preload = fileTags.isEmpty() ? "false" : "true";
    return QStringLiteral(R"({"FolderMain": {"FolderName": "Gateway", "NodeId": 64000},
        "FolderSub": {"FolderName": "Tags", "NodeId": 64001},
        "PreloadTags": %1, "Tags": [%2]})")
        .arg(preload, fileTags)
        .toUtf8();
}

inline QSqlQuery exec(const QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement))
        qWarning() << "refused:" << statement << query.lastError().text();
    return query;
}

// The first column of what a query returns, row by row.
inline QStringList queryTexts(const QSqlDatabase &db, const QString &statement)
{
    QStringList texts;
    QSqlQuery query = exec(db, statement);
    while (query.next())
        texts << query.value(0).toString();
    return texts;
}

// The stored values by id, joined by ','.
inline QString storedValues(const QSqlDatabase &db)
{
    return queryTexts(db, "SELECT value FROM tags ORDER BY id").join(',');
}

// The texts of one column of the model, top to bottom.
inline QStringList columnTexts(const QAbstractItemModel &model, int column)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts << model.index(row, column).data().toString();
    return texts;
}

// A client's subscription to one variable: the values the server sends are
// collected while the client's calls run, which the caller waits for, so they
// need no lock.
class ValueWatcher
{
public:
    ValueWatcher(TestClient &client, const QUaNodeId &nodeId) : m_client(client)
    {
        client.call([this, nodeId](UA_Client *c) {
            UA_CreateSubscriptionRequest request = UA_CreateSubscriptionRequest_default();
            request.requestedPublishingInterval = 20;
            UA_CreateSubscriptionResponse response =
                UA_Client_Subscriptions_create(c, request, nullptr, nullptr, nullptr);
            m_subscriptionId = response.subscriptionId;
            UA_CreateSubscriptionResponse_clear(&response);
            UA_NodeId id = nodeId;
            UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(id);
            item.requestedParameters.samplingInterval = 10;
            UA_MonitoredItemCreateResult result = UA_Client_MonitoredItems_createDataChange(
                c, m_subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, item, this, &changed, nullptr);
            UA_MonitoredItemCreateResult_clear(&result);
            UA_NodeId_clear(&id);
        });
    }
    ~ValueWatcher()
    {
        const UA_UInt32 id = m_subscriptionId;
        m_client.call([id](UA_Client *c) { return UA_Client_Subscriptions_deleteSingle(c, id); });
    }

    const QVariantList &values() const { return m_values; }
    // Lets the client receive until the last value sent is the expected one;
    // a subscription that failed never gets there.
    bool waitFor(const QVariant &expected, int timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!timer.hasExpired(timeoutMs)) {
            if (!m_values.isEmpty() && m_values.last() == expected)
                return true;
            m_client.call([](UA_Client *c) { return UA_Client_run_iterate(c, 20); });
        }
        return false;
    }

private:
    static void changed(UA_Client *, UA_UInt32, void *, UA_UInt32, void *context,
                        UA_DataValue *value)
    {
        static_cast<ValueWatcher *>(context)->m_values
            << QUaValueConverter::toQVariant(value->value);
    }

    TestClient &m_client;
    UA_UInt32 m_subscriptionId = 0;
    QVariantList m_values;
};

// The gateway core as the window starts it: OPC UA, then SQL, and a model of
// the tags table that follows the store like the window's, sorted by "number".
struct SyncGateway : Gateway {
    explicit SyncGateway(const QJsonObject &sqlConfig, const QByteArray &tagsJson = tagsFile())
        : Gateway(tagsJson, true, {}, sqlConfig)
    {
        core->InitSQL();
        if (const TagStore *store = core->tagStore()) {
            QObject::connect(store, &TagStore::rowsChanged, &model,
                             &MySqlTableModelResult::applyRows);
            QObject::connect(store, &TagStore::rowsRemoved, &model,
                             &MySqlTableModelResult::removeRowsById);
        }
        model.sort(kNumberColumn);
        core->m_ready = true;
    }

    int logCount(const QString &containing) const { return log().filter(containing).count(); }
    // The window's text of a cell of the row with this id.
    QString shown(qint64 id, int column) const
    {
        return model.index(model.rowOfId(id), column).data().toString();
    }

    MySqlTableModelResult model;
};

// The core's debug lines on Qt's output, with their message only.
inline QStringList debugLines(const QString &containing)
{
    QStringList lines;
    for (const QString &line : ConsoleCapture::take())
        if (line.startsWith(QLatin1String("debug ")) && line.contains(containing))
            lines << line.section(QStringLiteral(" > "), 1).remove('"');
    return lines;
}

// The built gateway as a process of its own, in a folder with its settings/
// beside it, as a service manager runs it.
class GatewayProcess
{
public:
    GatewayProcess(const QString &executable, const QString &folder, const QJsonObject &sqlConfig,
                   const QByteArray &tagsJson)
        : port(freeLoopbackPort()), m_folder(folder)
    {
        QDir().mkpath(folder + "/settings");
        QFile::remove(folder + "/OpcUaSqlGateway");
        QFile::copy(executable, folder + "/OpcUaSqlGateway");
        const auto write = [&folder](const QString &name, const QByteArray &content) {
            QFile file(folder + "/settings/" + name);
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write(content);
        };
        write("settings.json", jsonText({{"opcua_port", int(port)},
                                         {"opcua_AnonymousLoginAllowed", true},
                                         {"Console", QJsonObject{{"OutputEnable", true}}},
                                         {"Window", QJsonObject{{"OutputEnable", false}}}}));
        write("sql.json", jsonText(sqlConfig));
        write("tags.json", tagsJson);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~GatewayProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    void start()
    {
        m_output.clear();
        m_process.start(m_folder + "/OpcUaSqlGateway", QStringList());
    }
    // Its console output so far.
    const QString &output()
    {
        m_output += QString::fromUtf8(m_process.readAll());
        return m_output;
    }
    bool says(const QString &text) { return output().contains(text); }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    bool waitForExit(int timeoutMs) { return m_process.waitForFinished(timeoutMs); }
    bool exitedCleanly() const
    {
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    const quint16 port;

private:
    QString m_folder;
    QProcess m_process;
    QString m_output;
};

#endif // SYNCFIXTURE_H
