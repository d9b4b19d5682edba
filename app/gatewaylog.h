#ifndef GATEWAYLOG_H
#define GATEWAYLOG_H

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QVector>

class LogModel;

// The gateway's two log sinks: Qt's message output ("Console") and the
// window's log model ("Window"), each switched by its entry in the settings.
// Console lines are written together at the end of each turn of the event
// loop, a run of one level as one message of quoted lines.
class GatewayLog : public QObject
{
    Q_OBJECT

public:
    // The settings are read at every line: they may change after construction.
    GatewayLog(const QJsonObject &settings, LogModel *model);
    ~GatewayLog() override;

    void write(const QString &file, int line, const QString &function, const QString &level,
               const QString &message);
    // Writes the waiting console lines now.
    void flushConsole();

private:
    struct ConsoleLine {
        QtMsgType type;
        QString text;
    };

    void queueConsoleLine(QtMsgType type, const QString &text);
    const QString &placeOf(const QString &file, int line, const QString &function);

    const QJsonObject &m_settings;
    QPointer<LogModel> m_model;
    QVector<ConsoleLine> m_console;
    // One shared text per calling place, so the model's entries share them.
    QHash<QPair<QPair<QString, QString>, int>, QString> m_places;
};

#endif // GATEWAYLOG_H
