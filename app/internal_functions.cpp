#include "internal_functions.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>

// Every log line of the core names this file, the calling line and the calling
// function's signature.
#define CORE_LOG_AS(function, level, message)                                                      \
    writeLog(QStringLiteral("internal_functions.cpp"), __LINE__, function, QStringLiteral(level),  \
             message)
#define CORE_LOG(level, message) CORE_LOG_AS(QString::fromUtf8(Q_FUNC_INFO), level, message)

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

// The table creation and its rules report under the function that runs them.
const QString kInitSqlFunction = QStringLiteral("void cInternalFunctions::InitSQL()");

const char *const kNotificationChannels[] = {"insert_tags_notf", "update_tags_notf",
                                             "delete_tags_notf"};

// The PostgreSQL rules that announce row changes; each statement is the prefix,
// the table name and the suffix.
struct NotifyRule {
    const char *channel;
    const char *prefix;
    const char *suffix;
};
const NotifyRule kNotifyRules[] = {
    {"insert_tags_notf", "CREATE OR REPLACE RULE some_notify_rule1 AS ON INSERT TO ",
     " DO SELECT pg_notify('insert_tags_notf'::text, new.id::text) AS pg_notify;"},
    {"update_tags_notf", "CREATE OR REPLACE RULE some_notify_rule2 AS ON UPDATE TO ",
     " DO SELECT pg_notify('update_tags_notf'::text, new.id::text) AS pg_notify;"},
    {"delete_tags_notf", "CREATE OR REPLACE RULE some_notify_rule3 AS ON DELETE TO ",
     " DO SELECT pg_notify('delete_tags_notf'::text, 'deleted'::text) AS pg_notify;"},
};

// ODBC reads ';' as the end of a value and braces as quotes, so a value holding
// any of them is wrapped in braces with its closing braces doubled; plain values
// stay exactly as written.
QString odbcValue(const QString &value)
{
    if (!value.contains(QLatin1Char(';')) && !value.contains(QLatin1Char('{')) &&
        !value.contains(QLatin1Char('}')))
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

QString odbcConnectionString(const QJsonObject &config)
{
    const auto value = [&config](const char *key) {
        return odbcValue(config[QLatin1String(key)].toString());
    };
    return QStringLiteral("DRIVER={SQL Server};SERVER=") + value("database_path") +
           QStringLiteral(";DATABASE=") + value("database_name") + QStringLiteral(";UID=") +
           value("database_user") + QStringLiteral(";PWD=") + value("database_password") +
           QStringLiteral(";WSID=.");
}

// The column parts are pasted as they stand, empty ones keeping their spaces.
QString createTableStatement(const QJsonObject &table)
{
    QStringList columns;
    for (const QJsonValue &entry : table[QLatin1String("Columns")].toArray()) {
        const QJsonObject column = entry.toObject();
        columns << QStringList{column[QLatin1String("Name")].toString(),
                               column[QLatin1String("Type")].toString(),
                               column[QLatin1String("AutoIncrement")].toString(),
                               column[QLatin1String("Null")].toString()}
                       .join(QLatin1Char(' '));
    }
    QString statement = QStringLiteral("CREATE TABLE ") +
                        table[QLatin1String("TableName")].toString() + QStringLiteral(" (") +
                        columns.join(QStringLiteral(", "));
    if (!columns.isEmpty())
        statement += QLatin1Char(' ');
    const QString primaryKey = table[QLatin1String("PrimaryKey")].toString();
    if (primaryKey.isEmpty())
        return statement + QLatin1Char(')');
    return statement + QStringLiteral(",PRIMARY KEY (") + primaryKey + QStringLiteral(" ))");
}

QString fillTagsStatement(int count)
{
    QStringList rows;
    for (int i = 1; i <= count; ++i) {
        const QString n = QString::number(i);
        rows << QStringLiteral("(%1,'%1','tag%1','%1','w','desc','String')").arg(n);
    }
    QString statement = QStringLiteral(
        "INSERT INTO tags(id, number, key, value, type, description, format) VALUES ");
    if (!rows.isEmpty())
        statement += rows.join(QStringLiteral(", ")) + QLatin1Char(';');
    return statement;
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

void cInternalFunctions::InitSQL()
{
    if (!m_sqlConfig[QLatin1String("sql_enable")].toBool()) {
        CORE_LOG("info", QStringLiteral("InitSQL - DISABLE!"));
        return;
    }
    if (!openDatabase()) {
        CORE_LOG("critical", QStringLiteral("InitSQL - ERROR! DataBase NOT Open!"));
        return;
    }
    m_sqlQuery = std::make_unique<QSqlQuery>(m_db);
    createTables();
    CORE_LOG("info", QStringLiteral("InitSQL - OK!"));
    startWatchingTags();
}

// Configures m_db for the database type of sql.json and opens it; an unknown
// type leaves m_db invalid, which never opens.
bool cInternalFunctions::openDatabase()
{
    const auto text = [this](const char *key) {
        return m_sqlConfig[QLatin1String(key)].toString();
    };
    const QString type = text("database_type");
    if (type == QLatin1String("SQLLITE")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), text("database_name"));
        m_db.setDatabaseName(QCoreApplication::applicationDirPath() + text("database_localpath"));
    } else if (type == QLatin1String("MSSQL")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"));
        m_db.setDatabaseName(odbcConnectionString(m_sqlConfig));
    } else if (type == QLatin1String("POSTGRESQL")) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), text("database_name"));
        m_db.setHostName(text("database_path"));
        m_db.setDatabaseName(text("database_name"));
        m_db.setPort(m_sqlConfig[QLatin1String("database_port")].toInt());
        m_db.setUserName(text("database_user"));
        m_db.setPassword(text("database_password"));
    }
    return m_db.open();
}

// On later starts the tables exist already, so a refused CREATE TABLE is expected
// and stays silent.
void cInternalFunctions::createTables()
{
    for (const QJsonValue &entry : m_sqlConfig[QLatin1String("Tables")].toArray()) {
        const QJsonObject table = entry.toObject();
        m_sqlQuery->exec(createTableStatement(table));
        createNotifyRules(table[QLatin1String("TableName")].toString());
    }
}

// Only PostgreSQL knows rules; the other databases refuse them at every start.
void cInternalFunctions::createNotifyRules(const QString &tableName)
{
    for (const NotifyRule &rule : kNotifyRules) {
        const QString statement =
            QLatin1String(rule.prefix) + tableName + QLatin1String(rule.suffix);
        if (!m_sqlQuery->exec(statement))
            CORE_LOG_AS(kInitSqlFunction, "critical",
                        QStringLiteral("InitSQL %1 - ERROR!").arg(QLatin1String(rule.channel)));
    }
}

// The SQL check timer runs the handler once after start-up; PostgreSQL
// notifications run it again whenever a row changes.
void cInternalFunctions::startWatchingTags()
{
    m_checkTimer.setInterval(2000);
    connect(&m_checkTimer, SIGNAL(timeout()), this, SLOT(slot_iTimerCheckSQL()));
    m_checkTimer.setSingleShot(true);
    m_checkTimer.start();

    QSqlDriver *driver = m_db.driver();
    // Drivers without notifications refuse the subscription; nothing else follows.
    for (const char *channel : kNotificationChannels)
        driver->subscribeToNotification(QLatin1String(channel));
    connect(driver,
            SIGNAL(notification(const QString &, QSqlDriver::NotificationSource, const QVariant &)),
            this,
            SLOT(slot_Model_dataChanged(const QString &, QSqlDriver::NotificationSource,
                                        const QVariant &)));
}

void cInternalFunctions::slot_Model_dataChanged(const QString &name, QSqlDriver::NotificationSource,
                                                const QVariant &payload)
{
    m_pendingNotification = name;
    m_pendingPayload = payload.toString();
    slot_iTimerCheckSQL();
}

// Loading the notified rows into the OPC UA tags comes with the flow from SQL
// to OPC UA; until then a notification only stays pending.
void cInternalFunctions::slot_iTimerCheckSQL() {}

void cInternalFunctions::clearTagsTable()
{
    runDeveloperStatement(QStringLiteral("DELETE FROM tags;"));
}

void cInternalFunctions::fillTagsTable(int count)
{
    runDeveloperStatement(fillTagsStatement(count));
}

void cInternalFunctions::runDeveloperStatement(const QString &statement)
{
    m_sqlQuery = std::make_unique<QSqlQuery>(m_db);
    const bool ok = m_sqlQuery->exec(statement);
    QMessageLogger().debug() << (ok ? "OK" : "ERROR") << statement;
}

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
