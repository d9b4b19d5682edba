#ifndef GATEWAYLOG_H
#define GATEWAYLOG_H

#include <QJsonObject>
#include <QPointer>
#include <QString>

class QPlainTextEdit;

// The gateway's two log sinks: Qt's message output ("Console") and the
// window's log pane ("Window"), each switched by its entry in the settings.
class GatewayLog
{
public:
    // The settings are read at every line: they may change after construction.
    GatewayLog(const QJsonObject &settings, QPlainTextEdit *pane);

    void write(const QString &file, int line, const QString &function, const QString &level,
               const QString &message);

private:
    void trimPane();

    const QJsonObject &m_settings;
    QPointer<QPlainTextEdit> m_pane;
};

#endif // GATEWAYLOG_H
