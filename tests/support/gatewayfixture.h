#ifndef GATEWAYFIXTURE_H
#define GATEWAYFIXTURE_H

// A gateway core built on fixture settings with its OPC UA server running on a
// free loopback port, and what it wrote to Qt's output and to its log.
#include "addressspace.h"
#include "internal_functions.h"
#include "logmodel.h"
#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaserver.h"
#include "support/testclient.h"

#include <QJsonDocument>
#include <QMutex>
#include <QtTest>
#include <memory>

#include "support/settingsdir.h" // needs QCoreApplication, which QtTest brings

// Everything on Qt's message output, as "<type> <text>" lines ("debug",
// "info", "warning", "critical"): the core's console sink, which writes a run
// of lines as one message, and the server's event lines.
class ConsoleCapture
{
public:
    static void install() { qInstallMessageHandler(&capture); }
    static QStringList take()
    {
        QMutexLocker lock(&s_mutex);
        return std::exchange(s_lines, {});
    }

private:
    static void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        static const char *const names[] = {"debug", "warning", "critical", "fatal", "info"};
        QMutexLocker lock(&s_mutex);
        for (const QString &line : text.split(QLatin1Char('\n')))
            s_lines << QLatin1String(names[type]) + QLatin1Char(' ') + line;
    }

    static inline QMutex s_mutex;
    static inline QStringList s_lines;
};

// The log's lines, those of this turn of the event loop included, without
// their timestamps: "[level] message".
inline QStringList logLines(LogModel &model)
{
    model.flush();
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex line = model.index(row);
        lines << '[' + line.data(LogModel::LevelRole).toString() + "] " +
                     line.data(LogModel::MessageRole).toString();
    }
    return lines;
}

inline QByteArray jsonText(const QJsonObject &object)
{
    return QJsonDocument(object).toJson();
}

// Lays out the three settings files of a gateway on this port with one user;
// the settings' entries are replaced by those of settingsChanges, where a null
// value removes the entry.
inline void writeGatewaySettings(quint16 port, const QByteArray &tagsJson,
                                 const QJsonObject &sqlConfig = {},
                                 bool anonymousLoginAllowed = true,
                                 const QJsonObject &settingsChanges = {})
{
    QJsonObject settings{{"opcua_port", int(port)},
                         {"opcua_AnonymousLoginAllowed", anonymousLoginAllowed},
                         {"opcua_User_name", "operator"},
                         {"opcua_User_password", "s3cret"},
                         {"Console", QJsonObject{{"OutputEnable", true}}},
                         {"Window", QJsonObject{{"OutputEnable", true}}}};
    for (auto change = settingsChanges.begin(); change != settingsChanges.end(); ++change) {
        if (change.value().isNull())
            settings.remove(change.key());
        else
            settings.insert(change.key(), change.value());
    }
    TestSettings::clear();
    TestSettings::write("settings.json", jsonText(settings));
    TestSettings::write("sql.json", jsonText(sqlConfig));
    TestSettings::write("tags.json", tagsJson);
}

// The core with its OPC UA server started; SQL is left to the caller.
struct Gateway {
    explicit Gateway(const QByteArray &tagsJson, bool anonymousLoginAllowed = true,
                     const QJsonObject &settingsChanges = {}, const QJsonObject &sqlConfig = {})
        : port(freeLoopbackPort())
    {
        writeGatewaySettings(port, tagsJson, sqlConfig, anonymousLoginAllowed, settingsChanges);
        core = std::make_unique<cInternalFunctions>(&pane, &configLoaded);
        ConsoleCapture::take();
        core->InitOPC();
        startupConsole = ConsoleCapture::take();
    }

    QStringList log() const { return logLines(pane); }
    // The names of the core's tags whose variables still exist, in list order.
    QStringList tagNames() const
    {
        QStringList names;
        for (const QUaBaseDataVariable *tag : core->m_addressSpace->tags())
            if (tag)
                names << tag->browseName().name();
        return names;
    }

    const quint16 port;
    bool configLoaded = false;
    mutable LogModel pane;
    std::unique_ptr<cInternalFunctions> core;
    QStringList startupConsole;
};

// What a client finds under a node: the browse names of the targets of the
// forward references of one type.
inline QStringList childNames(TestClient &client, const QUaNodeId &nodeId, quint32 referenceType)
{
    QStringList names;
    for (const TestClient::Reference &reference : client.browse(nodeId))
        if (reference.referenceTypeId == QUaNodeId(0, referenceType))
            names << reference.browseName.name();
    return names;
}

inline QUaNodeId dataTypeOf(TestClient &client, const QUaNodeId &nodeId)
{
    return client.readAttribute(nodeId, UA_ATTRIBUTEID_DATATYPE).value<QUaNodeId>();
}

#endif // GATEWAYFIXTURE_H
