#include "internal_functions.h"

#include "addressspace.h"
#include "configcheck.h"
#include "gatewaylog.h"
#include "quabasedatavariable.h"
#include "quaserver.h"
#include "quasession.h"
#include "rowqueue.h"
#include "tagstore.h"
#include "tagvalue.h"

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
#include <QPushButton>
#include <QTextStream>
#include <algorithm>
#include <cmath>

// Every log line of the core names this file, the calling line and the calling
// function's signature.
#define CORE_LOG_AS(function, level, message)                                                      \
    writeLog(QStringLiteral("internal_functions.cpp"), __LINE__, function, QStringLiteral(level),  \
             message)
#define CORE_LOG(level, message) CORE_LOG_AS(QString::fromUtf8(Q_FUNC_INFO), level, message)

namespace
{

// How long the end of the program waits for the tag store to close: it writes
// for at most three seconds, and a statement under way may take a little
// longer; what it did not write stays in its journal.
constexpr unsigned long kStoreShutdownMs = 5000;

const char kMessageBoxStyle[] =
    "QDialog {font-size: 20pt; text-align: center; background-color: rgb(169, 169, 169); "
    "color: rgb(0, 0, 0); border-color: rgb(245, 245, 245); border-width: 2px; "
    "border-style:inset; border-radius: 10px; } QPushButton {font-size: 18pt; padding: 5px; "
    "height: 40px; width: 120px; background-color: rgb(150, 250, 150); color: rgb(0, 0, 0); "
    "border-color: rgb(255, 255, 255); border-width: 1px; border-style:inset; border-radius: "
    "10px; }             QPushButton:pressed {background-color: rgb(180, 200, 180);}       "
    "QPushButton:checked {background-color: rgb(80, 255, 80);}      QPushButton:disabled "
    "{background-color: rgb(120, 160, 120);}";

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

// The server start reports under the function that runs it.
const QString kInitOpcFunction = QStringLiteral("void cInternalFunctions::InitOPC()");

// The packaged stack reports trace and debug records as well (two per idle
// iteration, several per network read); the console keeps to information and
// above, as a stack built with its default log level gives.
void printServerLog(const QUaLog &log)
{
    if (log.level < QUa::LogLevel::Info)
        return;
    qDebug() << "["
             << log.timestamp.toLocalTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz"))
             << "][" << log.level << "][" << log.category << "] :" << log.message;
}

void printSession(const char *event, const QUaSession *session)
{
    qDebug() << event << session->address() << ":" << session->port() << "|"
             << session->applicationName();
}

// A value's text in a log line: a long one gives its first part and its length,
// so a client writing large strings cannot make every line as large.
QString loggedValue(const QString &text)
{
    constexpr int kLongValue = 1024;
    constexpr int kShownPart = 256;
    if (text.size() <= kLongValue)
        return text;
    return text.left(kShownPart) + QStringLiteral("... (%1 characters)").arg(text.size());
}

// The `type` texts that let clients write a tag; anything else is read-only.
bool isWritableFlag(const QString &type)
{
    return type == QLatin1String("w") || type == QLatin1String("W") ||
           type == QLatin1String("w/r") || type == QLatin1String("W/R");
}

} // namespace

cInternalFunctions::cInternalFunctions(LogModel *logModel, bool *configLoaded,
                                       const GatewayPaths &paths)
    : QObject(nullptr), m_paths(paths), m_log(std::make_unique<GatewayLog>(m_settings, logModel))
{
    setUpRowQueue();
    const bool settingsLoaded = loadJsonFile(QStringLiteral("settings.json"), m_settings);
    const bool sqlLoaded = loadJsonFile(QStringLiteral("sql.json"), m_sqlConfig);
    const bool tagsLoaded = loadJsonFile(QStringLiteral("tags.json"), m_tagConfig);
    if (configLoaded)
        *configLoaded = settingsLoaded && sqlLoaded && tagsLoaded;
}

void cInternalFunctions::InitOPC()
{
    m_opcServer = new QUaServer;
    applyServerIdentity();
    applySecurity();
    printServerEvents();
    m_addressSpace = new AddressSpace(m_opcServer, *m_log, this);
    connect(m_addressSpace, &AddressSpace::tagChanged, this,
            &cInternalFunctions::slot_OPCUA_Tag_changed);
    m_addressSpace->build(m_tagConfig,
                          [this](const QJsonObject &tag) { return formatToType(tag); });
    startServing();
}

bool cInternalFunctions::opcServing() const
{
    return m_opcServer && m_opcServer->isRunning();
}

// Serves on the port of the settings or not at all: a value that is no port
// number, or a port that cannot be bound, must not end up on another port.
void cInternalFunctions::startServing()
{
    const QJsonValue port = m_settings[QLatin1String("opcua_port")];
    if (!ConfigCheck::isPortNumber(port)) {
        CORE_LOG_AS(kInitOpcFunction, "critical",
                    QStringLiteral("OPC UA NOT started: \"opcua_port\" %1 is not a port number "
                                   "(1-65535)")
                        .arg(ConfigCheck::jsonText(port)));
        return;
    }
    m_opcServer->setPort(quint16(port.toInt()));
    if (!m_opcServer->start())
        CORE_LOG_AS(kInitOpcFunction, "critical",
                    QStringLiteral("OPC UA NOT started: port %1 cannot be bound: %2")
                        .arg(m_opcServer->port())
                        .arg(m_opcServer->lastError()));
}

void cInternalFunctions::applyServerIdentity()
{
    const QMetaObject &enums = QUa::staticMetaObject;
    m_opcServer->registerEnum(enums.enumerator(enums.indexOfEnumerator("Status")));
    m_opcServer->setApplicationName(QStringLiteral("OPC-UA <-> SQL Gateway"));
    m_opcServer->setApplicationUri(QStringLiteral("uri:varnholt:tagbridge"));
    m_opcServer->setProductName(QStringLiteral("VH-TAGBRIDGE"));
    m_opcServer->setProductUri(QStringLiteral("https://varnholt.example"));
    m_opcServer->setManufacturerName(QStringLiteral("Varnholt LLC"));
    m_opcServer->setSoftwareVersion(QStringLiteral("1.0"));
    m_opcServer->setBuildNumber(QStringLiteral("123457890"));
    m_opcServer->setAnonymousLoginAllowed(
        m_settings[QLatin1String("opcua_AnonymousLoginAllowed")].toBool());
    // Clients read and write tags; the address space is the gateway's alone.
    m_opcServer->setNodeManagementAllowed(false);
    addUser();
}

// A user without a password is left out: nobody may log in with an empty one.
void cInternalFunctions::addUser()
{
    const QString name = m_settings[QLatin1String("opcua_User_name")].toString();
    const QString password = m_settings[QLatin1String("opcua_User_password")].toString();
    if (name.isEmpty())
        return;
    if (password.isEmpty()) {
        CORE_LOG_AS(
            kInitOpcFunction, "critical",
            QStringLiteral("OPC UA user \"%1\" NOT added: no password in settings.json").arg(name));
        return;
    }
    m_opcServer->addUser(name, password);
}

// The endpoints offer the security policies of "opcua_Security" (by default
// only None); certificates live in the paths' pki folder.
void cInternalFunctions::applySecurity()
{
    const QJsonValue listed = m_settings[QLatin1String("opcua_Security")];
    const QJsonArray names =
        listed.isArray() ? listed.toArray() : QJsonArray{QStringLiteral("None")};
    const QStringList supported = QUaServer::supportedSecurityPolicies();
    QStringList policies;
    QStringList endpoints;
    for (const QJsonValue &value : names) {
        const QString name = value.toVariant().toString();
        if (!supported.contains(name)) {
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        QStringLiteral("Unknown OPC UA security policy \"%1\" skipped").arg(name));
            continue;
        }
        if (policies.contains(name))
            continue;
        policies << name;
        endpoints << (name == QLatin1String("None")
                          ? name
                          : name + QStringLiteral(" (Sign, SignAndEncrypt)"));
    }
    m_opcServer->setSecurityPolicies(policies);
    m_opcServer->setPkiFolder(m_paths.pkiDir());
    m_opcServer->setTrustAllClients(m_settings[QLatin1String("opcua_TrustAllClients")].toBool());
    CORE_LOG_AS(kInitOpcFunction, "info",
                QStringLiteral("OPC UA endpoints offered: %1")
                    .arg(endpoints.isEmpty() ? QStringLiteral("none")
                                             : endpoints.join(QStringLiteral(", "))));
}

// The server's own records and the client sessions go to Qt's debug output
// whatever the log switches say.
void cInternalFunctions::printServerEvents()
{
    connect(m_opcServer, &QUaServer::logMessage, m_opcServer, &printServerLog,
            Qt::DirectConnection);
    connect(
        m_opcServer, &QUaServer::clientConnected, m_opcServer,
        [](const QUaSession *session) { printSession("Connected", session); },
        Qt::DirectConnection);
    connect(
        m_opcServer, &QUaServer::clientDisconnected, m_opcServer,
        [](const QUaSession *session) { printSession("Disconnected", session); },
        Qt::DirectConnection);
}

int cInternalFunctions::formatToType(const QJsonObject &tag)
{
    return tagFormatType(tag[QLatin1String("Format")].toString());
}

// A row's text becomes the tag's value only when it is exactly a value of the
// tag's Format; otherwise the tag keeps what it has (a new one waits for a
// value) and the row is reported.
bool cInternalFunctions::createNewTag(const QJsonObject &tag)
{
    const QString name = tag[QLatin1String("TagName")].toString();
    if (!hasKeys(tag, {"Value", "Format", "WriteAccess", "NodeId", "TagName"})) {
        CORE_LOG("critical", QStringLiteral("ERROR New: TagName= ") + name);
        return false;
    }
    if (name.isEmpty())
        return false;
    const QJsonValue text = tag[QLatin1String("Value")];
    const QString format = tag[QLatin1String("Format")].toString();
    const int type = formatToType(tag);
    const bool known = findTag(name) != nullptr;
    if (type == QMetaType::UnknownType) {
        if (known)
            return updateTagIfChanged(name, valueOf(text), format);
        CORE_LOG("critical", QStringLiteral("ERROR Conversion Type for TAG: ") + name);
        return false;
    }
    const QVariant value = text.isString() ? exactValueOf(text.toString(), type) : valueOf(text);
    if (!value.isValid())
        CORE_LOG("critical",
                 QStringLiteral("ERROR Conversion Value for TAG: %1, Value= %2, Format= %3")
                     .arg(name, loggedValue(text.toString()), format));
    if (known)
        return value.isValid() && updateTagIfChanged(name, value, format);
    if (m_addressSpace)
        m_addressSpace->addSqlTag(tag, type, value);
    return false;
}

bool cInternalFunctions::findTagValue(QString name, QVariant &value)
{
    QUaBaseDataVariable *variable = findTag(name);
    if (!variable)
        return false;
    value = variable->value();
    return true;
}

QUaBaseDataVariable *cInternalFunctions::findTag(const QString &name)
{
    return m_addressSpace ? m_addressSpace->findTag(name) : nullptr;
}

// True only when the tag's value was written (or its Format was unknown).
bool cInternalFunctions::updateTagIfChanged(QString name, QVariant value, QString format)
{
    QVariant current;
    if (!findTagValue(name, current) || current == value)
        return false;
    return writeTagValue(name, value, format);
}

bool cInternalFunctions::setTagValue(const QJsonObject &tag)
{
    const QString name = tag[QLatin1String("TagName")].toString();
    if (!hasKeys(tag, {"Value", "Format", "TagName"})) {
        CORE_LOG("critical", QStringLiteral("ERROR Write: TagName= ") + name);
        return false;
    }
    return writeTagValue(name, valueOf(tag[QLatin1String("Value")]),
                         tag[QLatin1String("Format")].toString());
}

// A data type the stack refuses leaves the variable as it was, and says so.
bool cInternalFunctions::writeTagValue(const QString &name, const QVariant &value,
                                       const QString &format)
{
    const QString function =
        QStringLiteral("bool cInternalFunctions::setTagValue(const QJsonObject&)");
    QUaBaseDataVariable *variable = findTag(name);
    if (!variable)
        return false;
    const int type = formatToType({{QStringLiteral("Format"), format}});
    if (type == QMetaType::UnknownType) {
        CORE_LOG_AS(function, "critical", QStringLiteral("ERROR Conversion Type for TAG: ") + name);
        return true;
    }
    variable->setDataType(QMetaType::Type(type));
    if (variable->dataType() != QMetaType::Type(type)) {
        CORE_LOG_AS(
            function, "critical",
            QStringLiteral("ERROR Data Type refused for TAG: %1, Format= %2").arg(name, format));
        return true;
    }
    if (variable->value() == value)
        return true;
    variable->setValue(value);
    CORE_LOG_AS(function, "info",
                QStringLiteral("Changed Tag[") + name + QStringLiteral("]=") +
                    loggedValue(value.toString()) + QStringLiteral(", Format=") + format +
                    QStringLiteral(" (SQL)"));
    return true;
}

// Every tag's change passes here, the gateway's own writes included; only a
// client's value goes on into SQL.
void cInternalFunctions::slot_OPCUA_Tag_changed(QUaBaseDataVariable *tag, const QVariant &value,
                                                bool networkChange)
{
    if (!m_ready)
        return;
    const QString name = tag->browseName().name();
    if (networkChange)
        m_rowQueue->clientWrote(name);
    CORE_LOG("debug", QStringLiteral("OPC Changed: TagName= ") + name +
                          QStringLiteral(", Value= ") + loggedValue(value.toString()) +
                          QStringLiteral(", networkChange=") + QString::number(networkChange));
    writeTagToSql(name, value, networkChange);
}

// The value's row text goes to the store without waiting; the store reports
// when the rows hold it, or that the database refused it.
void cInternalFunctions::writeTagToSql(QString name, const QVariant &value,
                                       const bool &networkChange)
{
    if (networkChange && m_store)
        m_store->post(name, rowTextOf(value));
}

void cInternalFunctions::slot_SQL_valuesStored(const StoredValues &values)
{
    m_rowQueue->addStored(values);
}

void cInternalFunctions::logStoredValue(const StoredValue &stored)
{
    const QString line = QStringLiteral("Changed Tag[") + stored.key + QStringLiteral("]=") +
                         loggedValue(stored.text) + QStringLiteral(" (OPC)");
    for (int row = 0; row < stored.rowCount; ++row)
        CORE_LOG_AS(QStringLiteral("void cInternalFunctions::writeTagToSql(QString, const "
                                   "QVariant&, const bool&)"),
                    "info", line);
}

// The database's answer is reported once and the value dropped; the store
// then hands on the key's rows, so the tag goes back to what they hold.
void cInternalFunctions::slot_SQL_valueRefused(const QString &key, const QString &error)
{
    CORE_LOG_AS(
        QStringLiteral("void cInternalFunctions::writeTagToSql(QString, const QVariant&, const "
                       "bool&)"),
        "critical",
        QStringLiteral("ERROR SQL Write: TagName= ") + key + QStringLiteral(", ") + error);
}

void cInternalFunctions::slot_SQL_log(const QString &level, const QString &function,
                                      const QString &message)
{
    writeLog(QStringLiteral("internal_functions.cpp"), __LINE__, function, level, message);
}

void cInternalFunctions::InitSQL()
{
    if (!m_sqlConfig[QLatin1String("sql_enable")].toBool()) {
        CORE_LOG("info", QStringLiteral("InitSQL - DISABLE!"));
        return;
    }
    startStore();
}

// The store opens the database on its own thread and reports everything back
// through queued signals; the OPC UA side serves meanwhile.
void cInternalFunctions::startStore()
{
    m_store = new TagStore(m_sqlConfig, m_paths.dataDir());
    m_storeThread = std::make_unique<QThread>();
    m_store->moveToThread(m_storeThread.get());
    connect(m_store, &TagStore::logLine, this, &cInternalFunctions::slot_SQL_log);
    connect(m_store, &TagStore::tagRowsRead, this, &cInternalFunctions::slot_SQL_rowsRead);
    connect(m_store, &TagStore::valuesStored, this, &cInternalFunctions::slot_SQL_valuesStored);
    connect(m_store, &TagStore::valueRefused, this, &cInternalFunctions::slot_SQL_valueRefused);
    connect(this, &cInternalFunctions::cellEditToStore, m_store, &TagStore::editCell);
    connect(this, &cInternalFunctions::statementToStore, m_store, &TagStore::runDeveloperStatement);
    m_storeThread->setObjectName(QStringLiteral("tag store"));
    m_storeThread->start();
    QMetaObject::invokeMethod(m_store, &TagStore::start, Qt::QueuedConnection);
}

// The store writes what it can and closes on its own thread, which quits
// after it; the wait is bounded, so closing never hangs on a dead network.
void cInternalFunctions::stopStore()
{
    if (!m_store)
        return;
    QThread *const ownThread = thread();
    TagStore *const store = m_store;
    m_store = nullptr;
    auto report = std::make_shared<TagStore::StopReport>();
    QMetaObject::invokeMethod(
        store, [store, ownThread, report] { *report = store->shutdown(ownThread); },
        Qt::QueuedConnection);
    if (m_storeThread->wait(kStoreShutdownMs)) {
        CORE_LOG("info", QStringLiteral("Stopping: %1 values written, %2 kept in the write journal")
                             .arg(report->written)
                             .arg(report->kept));
        delete store;
        m_storeThread.reset();
    } else {
        // Past the bound the process leaves the store and its thread behind;
        // the values it held are in the journal already.
        CORE_LOG("critical",
                 QStringLiteral("Stopping: the tag store did not stop within %1 ms; unwritten "
                                "values stay in the write journal")
                     .arg(kStoreShutdownMs));
        m_storeThread.release();
    }
}

cInternalFunctions::~cInternalFunctions()
{
    stopStore();
    delete m_opcServer;
}

void cInternalFunctions::editCell(qint64 id, int column, const QString &text)
{
    if (m_store)
        emit cellEditToStore(id, column, text);
}

void cInternalFunctions::slot_SQL_rowsRead(const TagRows &rows, bool wholeTable)
{
    m_rowQueue->addRows(rows, wholeTable);
}

// A long load reports its progress.
void cInternalFunctions::setUpRowQueue()
{
    m_rowQueue = new RowQueue([this](const TagRow &row) { loadTagRow(row); },
                              [this](const StoredValue &stored) { logStoredValue(stored); }, this);
    connect(m_rowQueue, &RowQueue::progress, this, [this](int done, int total) {
        CORE_LOG_AS(QStringLiteral("void cInternalFunctions::loadQueuedRows()"), "info",
                    QStringLiteral("Loading SQL tags: %1 of %2 rows").arg(done).arg(total));
    });
    connect(m_rowQueue, &RowQueue::drained, this, &cInternalFunctions::sql_updated);
}

// A row's record: every field its cell's text, the key as node id too, the
// type column as the write flag.
void cInternalFunctions::loadTagRow(const TagRow &row)
{
    createNewTag({{QStringLiteral("TagName"), row.key},
                  {QStringLiteral("NodeId"), row.key},
                  {QStringLiteral("Value"), row.value},
                  {QStringLiteral("WriteAccess"), isWritableFlag(row.type)},
                  {QStringLiteral("Description"), row.description},
                  {QStringLiteral("Format"), row.format}});
}

void cInternalFunctions::clearTagsTable()
{
    runDeveloperStatement(QStringLiteral("DELETE FROM tags;"));
}

void cInternalFunctions::fillTagsTable(int count)
{
    runDeveloperStatement(fillTagsStatement(count));
}

// The store runs the statement and reports it; without a database it fails.
void cInternalFunctions::runDeveloperStatement(const QString &statement)
{
    if (m_store)
        emit statementToStore(statement);
    else
        QMessageLogger().debug() << "ERROR" << statement;
}

bool cInternalFunctions::loadJsonFile(const QString &fileName, QJsonObject &target)
{
    const QString path = m_paths.settingsDir() + QLatin1Char('/') + fileName;
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
    m_log->write(file, line, function, level, message);
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
