#include "gatewaylog.h"

#include <QDateTime>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace
{

// The log pane keeps this many lines and about this many characters; older
// lines are dropped so a gateway that logs every tag change cannot exhaust
// memory.
constexpr int kLogPaneMaxLines = 50000;
constexpr int kLogPaneMaxCharacters = 4 * 1024 * 1024;

QString padded(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

// The local time of a log line. The offset from UTC is looked up once a minute:
// looking it up for every line cost more than the rest of the line.
QDateTime localNow()
{
    constexpr qint64 kOffsetCheckMs = 60000;
    static bool offsetKnown = false;
    static qint64 offsetCheckedMs = 0;
    static int offsetSeconds = 0;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    if (!offsetKnown || nowMs - offsetCheckedMs >= kOffsetCheckMs || nowMs < offsetCheckedMs) {
        offsetSeconds = QDateTime::fromMSecsSinceEpoch(nowMs).offsetFromUtc();
        offsetCheckedMs = nowMs;
        offsetKnown = true;
    }
    return QDateTime::fromMSecsSinceEpoch(nowMs, Qt::OffsetFromUTC, offsetSeconds);
}

QString logTimestamp(const QDateTime &now)
{
    const QDate date = now.date();
    const QTime time = now.time();
    const QString dateText =
        QStringLiteral("%1-%2-%3")
            .arg(padded(date.year(), 4), padded(date.month(), 2), padded(date.day(), 2));
    const QString timeText = QStringLiteral("%1:%2:%3.%4")
                                 .arg(padded(time.hour(), 2), padded(time.minute(), 2),
                                      padded(time.second(), 2), padded(time.msec(), 3));
    return dateText + QLatin1Char(' ') + timeText;
}

bool sinkEnabled(const QJsonObject &settings, const char *sink)
{
    return settings[QLatin1String(sink)].toObject()[QLatin1String("OutputEnable")].toBool();
}

void writeConsoleLine(const QString &level, const QString &shortLine, const QString &longLine)
{
    const QMessageLogger logger;
    if (level == QLatin1String("debug"))
        logger.debug() << shortLine;
    else if (level == QLatin1String("info"))
        logger.info() << shortLine;
    else if (level == QLatin1String("warning"))
        logger.warning() << longLine;
    else if (level == QLatin1String("critical"))
        logger.critical() << longLine;
}

QColor paneColour(const QString &level)
{
    if (level == QLatin1String("warning"))
        return Qt::darkBlue;
    if (level == QLatin1String("critical"))
        return Qt::red;
    return Qt::black;
}

} // namespace

GatewayLog::GatewayLog(const QJsonObject &settings, QPlainTextEdit *pane)
    : m_settings(settings), m_pane(pane)
{
    if (m_pane)
        m_pane->setMaximumBlockCount(kLogPaneMaxLines);
}

void GatewayLog::write(const QString &file, int line, const QString &function, const QString &level,
                       const QString &message)
{
    const QString shortLine = logTimestamp(localNow()) + QStringLiteral(" > ") + message;
    if (sinkEnabled(m_settings, "Console")) {
        const QString longLine = shortLine + QStringLiteral(" (") + file + QStringLiteral(", ") +
                                 QString::number(line) + QStringLiteral(", ") + function +
                                 QLatin1Char(')');
        writeConsoleLine(level, shortLine, longLine);
    }
    if (!m_pane || !sinkEnabled(m_settings, "Window"))
        return;
    QTextCharFormat format = m_pane->currentCharFormat();
    format.setForeground(QBrush(paneColour(level)));
    if (level == QLatin1String("debug"))
        return;
    m_pane->setCurrentCharFormat(format);
    m_pane->appendPlainText(QLatin1Char('[') + level + QStringLiteral("] ") + shortLine);
    trimPane();
}

// A quarter of the lines go at once, so trimming stays rare.
void GatewayLog::trimPane()
{
    QTextDocument *document = m_pane->document();
    if (document->characterCount() <= kLogPaneMaxCharacters)
        return;
    QTextCursor oldest(document);
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                        std::max(1, document->blockCount() / 4));
    oldest.removeSelectedText();
}
