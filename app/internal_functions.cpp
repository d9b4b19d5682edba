#include "internal_functions.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>

namespace
{

// The log pane keeps this many lines; older ones are dropped so a gateway that
// logs every tag change cannot exhaust memory.
constexpr int kLogPaneMaxLines = 50000;

const char kMessageBoxStyle[] =
    "QDialog {font-size: 20pt; text-align: center; background-color: rgb(169, 169, 169); "
    "color: rgb(0, 0, 0); border-color: rgb(245, 245, 245); border-width: 2px; "
    "border-style:inset; border-radius: 10px; } QPushButton {font-size: 18pt; padding: 5px; "
    "height: 40px; width: 120px; background-color: rgb(150, 250, 150); color: rgb(0, 0, 0); "
    "border-color: rgb(255, 255, 255); border-width: 1px; border-style:inset; border-radius: "
    "10px; }             QPushButton:pressed {background-color: rgb(180, 200, 180);}       "
    "QPushButton:checked {background-color: rgb(80, 255, 80);}      QPushButton:disabled "
    "{background-color: rgb(120, 160, 120);}";

QString padded(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
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

cInternalFunctions::cInternalFunctions(QPlainTextEdit *logPane, bool *configLoaded)
    : QObject(nullptr), m_logPane(logPane)
{
    if (m_logPane)
        m_logPane->setMaximumBlockCount(kLogPaneMaxLines);
    const bool settingsLoaded = loadJsonFile(QStringLiteral("settings.json"), m_settings);
    const bool sqlLoaded = loadJsonFile(QStringLiteral("sql.json"), m_sqlConfig);
    const bool tagsLoaded = loadJsonFile(QStringLiteral("tags.json"), m_tagConfig);
    if (configLoaded)
        *configLoaded = settingsLoaded && sqlLoaded && tagsLoaded;
}

void cInternalFunctions::InitOPC() {}

void cInternalFunctions::InitSQL() {}

bool cInternalFunctions::loadJsonFile(const QString &fileName, QJsonObject &target)
{
    const QString path = QCoreApplication::applicationDirPath() + "/settings/" + fileName;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageLogger().critical("%s",
                                  qPrintable("Critical error: File <" + path + "> not found!"));
        showMessageBox(QStringLiteral("Внимание! Не найден JSON-файл!"), path);
        return false;
    }
    // Lines are joined without separators: JSON needs no line breaks.
    QTextStream stream(&file);
    QString text;
    while (!stream.atEnd())
        text += stream.readLine();
    file.close();
    if (parseJson(text, target))
        return true;
    showMessageBox(QStringLiteral("Внимание! Ошибка в JSON-файле!"), path);
    return false;
}

bool cInternalFunctions::parseJson(const QString &text, QJsonObject &target)
{
    QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (document.isNull()) {
        QMessageLogger().critical("Critical error: Invalid JSON...!");
        return false;
    }
    if (!document.isObject()) {
        QMessageLogger().critical("Critical error: JSON Document is not an object!");
        return false;
    }
    QJsonObject root = document.object();
    target.swap(root);
    return true;
}

void cInternalFunctions::writeLog(const QString &file, int line, const QString &function,
                                  const QString &level, const QString &message)
{
    const QString shortLine =
        logTimestamp(QDateTime::currentDateTime()) + QStringLiteral(" > ") + message;
    if (sinkEnabled(m_settings, "Console")) {
        const QString longLine = shortLine + QStringLiteral(" (") + file + QStringLiteral(", ") +
                                 QString::number(line) + QStringLiteral(", ") + function +
                                 QLatin1Char(')');
        writeConsoleLine(level, shortLine, longLine);
    }
    if (!m_logPane || !sinkEnabled(m_settings, "Window"))
        return;
    QTextCharFormat format = m_logPane->currentCharFormat();
    format.setForeground(QBrush(paneColour(level)));
    if (level == QLatin1String("debug"))
        return;
    m_logPane->setCurrentCharFormat(format);
    m_logPane->appendPlainText(QLatin1Char('[') + level + QStringLiteral("] ") + shortLine);
}

int cInternalFunctions::showMessageBox(const QString &title, const QString &informativeText)
{
    auto *box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(title);
    box->setText(QStringLiteral("<h3>") + title + QStringLiteral("</h3>"));
    box->setIcon(QMessageBox::Critical);
    box->setInformativeText(informativeText);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    box->button(QMessageBox::Ok)->setText(tr("OK"));
    box->setWindowFlags(box->windowFlags() | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
    box->setStyleSheet(QString::fromLatin1(kMessageBoxStyle));

    auto *shadow = new QGraphicsDropShadowEffect;
    shadow->setColor(QGuiApplication::palette().color(QPalette::Shadow));
    shadow->setBlurRadius(5.0);
    box->setGraphicsEffect(shadow);
    box->show();

    QBitmap mask(box->width(), box->height());
    mask.fill(Qt::color0);
    QPainter painter(&mask);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QBrush(Qt::color1));
    painter.drawRoundedRect(0, 0, box->width(), box->height(), 12.0, 12.0, Qt::AbsoluteSize);
    painter.end();
    box->setMask(mask);
    return box->exec();
}
