#include "gatewaylog.h"

#include "logmodel.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

namespace
{

// The local time of a log line as milliseconds since the epoch read as UTC.
// The offset from UTC is looked up once a minute: looking it up for every
// line cost more than the rest of the line.
qint64 localNowMs()
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
    return nowMs + qint64(offsetSeconds) * 1000;
}

void putDigits(QChar *&out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = QLatin1Char(char('0' + value % 10));
    out += width;
}

// "yyyy-MM-dd hh:mm:ss.zzz", written digit by digit: this runs for every line.
QString logTimestamp(qint64 localMs)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(localMs, Qt::UTC);
    const QDate date = time.date();
    const QTime clock = time.time();
    QString text(23, QLatin1Char('-'));
    QChar *out = text.data();
    putDigits(out, date.year(), 4);
    putDigits(++out, date.month(), 2);
    putDigits(++out, date.day(), 2);
    *out++ = QLatin1Char(' ');
    putDigits(out, clock.hour(), 2);
    *out++ = QLatin1Char(':');
    putDigits(out, clock.minute(), 2);
    *out++ = QLatin1Char(':');
    putDigits(out, clock.second(), 2);
    *out++ = QLatin1Char('.');
    putDigits(out, clock.msec(), 3);
    return text;
}

bool sinkEnabled(const QJsonObject &settings, const char *sink)
{
    return settings[QLatin1String(sink)].toObject()[QLatin1String("OutputEnable")].toBool();
}

// The console's levels; others are not printed there.
bool consoleType(const QString &level, QtMsgType *type)
{
    static const QHash<QString, QtMsgType> types = {{QStringLiteral("debug"), QtDebugMsg},
                                                    {QStringLiteral("info"), QtInfoMsg},
                                                    {QStringLiteral("warning"), QtWarningMsg},
                                                    {QStringLiteral("critical"), QtCriticalMsg}};
    const auto found = types.constFind(level);
    if (found == types.constEnd())
        return false;
    *type = found.value();
    return true;
}

QDebug loggerFor(QtMsgType type)
{
    const QMessageLogger logger;
    switch (type) {
    case QtDebugMsg:
        return logger.debug();
    case QtInfoMsg:
        return logger.info();
    case QtWarningMsg:
        return logger.warning();
    default:
        return logger.critical();
    }
}

} // namespace

GatewayLog::GatewayLog(const QJsonObject &settings, LogModel *model)
    : m_settings(settings), m_model(model)
{
}

GatewayLog::~GatewayLog()
{
    flushConsole();
}

void GatewayLog::write(const QString &file, int line, const QString &function, const QString &level,
                       const QString &message)
{
    const qint64 localMs = localNowMs();
    QtMsgType type = QtDebugMsg;
    if (sinkEnabled(m_settings, "Console") && consoleType(level, &type)) {
        QString text = logTimestamp(localMs) + QStringLiteral(" > ") + message;
        // Warnings and criticals name where they come from.
        if (type == QtWarningMsg || type == QtCriticalMsg)
            text += QStringLiteral(" (") + placeOf(file, line, function) + QLatin1Char(')');
        queueConsoleLine(type, text);
    }
    if (m_model && level != QLatin1String("debug") && sinkEnabled(m_settings, "Window"))
        m_model->append(localMs, level, message, placeOf(file, line, function));
}

const QString &GatewayLog::placeOf(const QString &file, int line, const QString &function)
{
    QString &place = m_places[qMakePair(qMakePair(file, function), line)];
    if (place.isEmpty())
        place =
            file + QStringLiteral(", ") + QString::number(line) + QStringLiteral(", ") + function;
    return place;
}

void GatewayLog::queueConsoleLine(QtMsgType type, const QString &text)
{
    if (m_console.isEmpty())
        QTimer::singleShot(0, this, &GatewayLog::flushConsole);
    m_console.append({type, text});
}

// Each line quoted as Qt's debug stream quotes a string, so the texts are
// those of one message per line.
void GatewayLog::flushConsole()
{
    for (int first = 0; first < m_console.size();) {
        const QtMsgType type = m_console.at(first).type;
        QString run;
        {
            QDebug quoted(&run);
            quoted.nospace();
            int next = first;
            for (; next < m_console.size() && m_console.at(next).type == type; ++next)
                quoted << (next > first ? "\n" : "") << m_console.at(next).text;
            first = next;
        }
        loggerFor(type).noquote() << run;
    }
    m_console.clear();
}
