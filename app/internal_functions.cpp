#include "internal_functions.h"

#include "mysqltablemodelresult.h"
#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "quasession.h"

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
#include <QSqlError>
#include <QSqlRecord>
#include <QTextStream>
#include <algorithm>
#include <initializer_list>

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

// The address-space build reports under the function that runs it.
const QString kInitOpcFunction = QStringLiteral("void cInternalFunctions::InitOPC()");

// The data type names a tag's "Format" may give, in the order they are tried.
struct TagFormat {
    const char *name;
    QMetaType::Type type;
};
const TagFormat kTagFormats[] = {
    {"Boolean", QMetaType::Bool},       {"Int32", QMetaType::Int},
    {"UInt32", QMetaType::UInt},        {"Double", QMetaType::Double},
    {"Int64", QMetaType::Long},         {"Int16", QMetaType::Short},
    {"SByte", QMetaType::Char},         {"UInt64", QMetaType::ULong},
    {"UInt16", QMetaType::UShort},      {"Byte", QMetaType::UChar},
    {"Float", QMetaType::Float},        {"String", QMetaType::QString},
    {"DateTime", QMetaType::QDateTime},
};

// A JSON number is taken as a double (Qt 5.15 would give integral numbers as
// qlonglong), so a property's data type does not depend on how its number
// happens to be written.
QVariant valueOf(const QJsonValue &value)
{
    return value.isDouble() ? QVariant(value.toDouble()) : value.toVariant();
}

bool hasKeys(const QJsonObject &entry, std::initializer_list<const char *> keys)
{
    return std::all_of(keys.begin(), keys.end(),
                       [&entry](const char *key) { return entry.contains(QLatin1String(key)); });
}

// Folders and properties name a numeric identifier in namespace 0.
QUaNodeId numericNodeId(const QJsonValue &number)
{
    return QUaNodeId(QStringLiteral("i=") + QString::number(number.toInt()));
}

// Tags name a string identifier in namespace 0.
QUaNodeId tagNodeId(const QJsonObject &tag)
{
    return QUaNodeId(QStringLiteral("ns=0;s=") + tag[QLatin1String("NodeId")].toString());
}

// The object layer makes no node whose browse name its parent has already or
// whose node id is in use.
QString notCreatedText(const char *kind, const QString &name, const QUaNodeId &nodeId)
{
    return QStringLiteral("ERROR Not created: %1= %2, NodeId= %3")
        .arg(QLatin1String(kind), name, nodeId.toString());
}

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

// The tags table's columns by position.
enum TagsColumn {
    kIdColumn = 0,
    kNumberColumn,
    kKeyColumn,
    kValueColumn,
    kTypeColumn,
    kDescriptionColumn,
    kFormatColumn,
};

// The `type` texts that let clients write a tag; anything else is read-only.
bool isWritableFlag(const QString &type)
{
    return type == QLatin1String("w") || type == QLatin1String("W") ||
           type == QLatin1String("w/r") || type == QLatin1String("W/R");
}

} // namespace

void TagRowIndex::clear()
{
    m_rows.clear();
    m_texts.clear();
}

void TagRowIndex::append(const QString &text)
{
    m_rows[text].append(m_texts.size());
    m_texts.append(text);
}

void TagRowIndex::update(int row, const QString &text)
{
    const QString old = m_texts.at(row);
    if (old == text)
        return;
    QVector<int> &oldRows = m_rows[old];
    oldRows.removeOne(row);
    if (oldRows.isEmpty())
        m_rows.remove(old);
    QVector<int> &rows = m_rows[text];
    rows.insert(std::lower_bound(rows.begin(), rows.end(), row), row);
    m_texts[row] = text;
}

cInternalFunctions::cInternalFunctions(QPlainTextEdit *logPane, bool *configLoaded)
    : QObject(nullptr), m_logPane(logPane), m_rowsByKey(kKeyColumn), m_rowsById(kIdColumn)
{
    if (m_logPane)
        m_logPane->setMaximumBlockCount(kLogPaneMaxLines);
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
    addFolders();
    if (m_folderMain)
        addProperties();
    // Without the tags' object the file's tags have nowhere to go; the folder's
    // failure is in the log already.
    if (m_folderSub && m_tagConfig[QLatin1String("PreloadTags")].toBool())
        addFileTags();
    m_opcServer->start();
}

void cInternalFunctions::applyServerIdentity()
{
    const QMetaObject &enums = QUa::staticMetaObject;
    m_opcServer->registerEnum(enums.enumerator(enums.indexOfEnumerator("Status")));
    m_opcServer->setPort(quint16(m_settings[QLatin1String("opcua_port")].toInt()));
    m_opcServer->setApplicationName(QStringLiteral("OPC-UA <-> SQL Gateway"));
    m_opcServer->setApplicationUri(QStringLiteral("uri:varnholt:tagbridge"));
    m_opcServer->setProductName(QStringLiteral("VH-TAGBRIDGE"));
    m_opcServer->setProductUri(QStringLiteral("https://varnholt.example"));
    m_opcServer->setManufacturerName(QStringLiteral("Varnholt LLC"));
    m_opcServer->setSoftwareVersion(QStringLiteral("1.0"));
    m_opcServer->setBuildNumber(QStringLiteral("123457890"));
    m_opcServer->setAnonymousLoginAllowed(
        m_settings[QLatin1String("opcua_AnonymousLoginAllowed")].toBool());
    m_opcServer->addUser(m_settings[QLatin1String("opcua_User_name")].toString(),
                         m_settings[QLatin1String("opcua_User_password")].toString());
}

// The endpoints offer the security policies of "opcua_Security" (by default
// only None); certificates live in settings/pki beside the program.
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
    m_opcServer->setPkiFolder(QCoreApplication::applicationDirPath() +
                              QStringLiteral("/settings/pki"));
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

void cInternalFunctions::addFolders()
{
    const QJsonObject main = m_tagConfig[QLatin1String("FolderMain")].toObject();
    const QString mainName = main[QLatin1String("FolderName")].toString();
    const QUaNodeId mainId = numericNodeId(main[QLatin1String("NodeId")]);
    m_folderMain =
        m_opcServer->objectsFolder()->addFolderObject(QUaQualifiedName(mainName), mainId);
    if (!m_folderMain) {
        CORE_LOG_AS(kInitOpcFunction, "critical", notCreatedText("FOLDER", mainName, mainId));
        return;
    }
    const QJsonObject sub = m_tagConfig[QLatin1String("FolderSub")].toObject();
    const QString subName = sub[QLatin1String("FolderName")].toString();
    const QUaNodeId subId = numericNodeId(sub[QLatin1String("NodeId")]);
    m_folderSub = m_folderMain->addBaseObject(QUaQualifiedName(subName), subId);
    if (!m_folderSub)
        CORE_LOG_AS(kInitOpcFunction, "critical", notCreatedText("FOLDER", subName, subId));
}

// Constant values for clients to read; the gateway never listens to them.
void cInternalFunctions::addProperties()
{
    for (const QJsonValue &entry : m_tagConfig[QLatin1String("Properties")].toArray()) {
        const QJsonObject property = entry.toObject();
        const QString name = property[QLatin1String("PropName")].toString();
        if (!hasKeys(property, {"PropName", "Value", "NodeId"})) {
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        QStringLiteral("ERROR Added: PROPERTY= ") + name);
            continue;
        }
        const QUaNodeId nodeId = numericNodeId(property[QLatin1String("NodeId")]);
        m_currentProperty = m_folderMain->addProperty(QUaQualifiedName(name), nodeId);
        if (!m_currentProperty) {
            CORE_LOG_AS(kInitOpcFunction, "critical", notCreatedText("PROPERTY", name, nodeId));
            continue;
        }
        m_currentProperty->setWriteAccess(false);
        m_currentProperty->setValue(valueOf(property[QLatin1String("Value")]));
        m_currentProperty->setValueRank(-1);
        CORE_LOG_AS(kInitOpcFunction, "info",
                    QStringLiteral("Added: PROPERTY= ") + m_currentProperty->browseName().name());
    }
}

void cInternalFunctions::addFileTags()
{
    for (const QJsonValue &entry : m_tagConfig[QLatin1String("Tags")].toArray()) {
        const QJsonObject tag = entry.toObject();
        const QString name = tag[QLatin1String("TagName")].toString();
        if (!hasKeys(tag, {"TagName", "Format", "Value", "NodeId", "WriteAccess"})) {
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        QStringLiteral("ERROR Added: TagName= ") + name);
            continue;
        }
        const int type = formatToType(tag);
        if (type == QMetaType::UnknownType) {
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        QStringLiteral("ERROR Conversion Type for TAG: ") + name);
            continue;
        }
        if (QUaBaseDataVariable *variable = addTagVariable(tag, type))
            CORE_LOG_AS(kInitOpcFunction, "info",
                        QStringLiteral("Added FILE TAG: ") + variable->browseName().name());
        else
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        notCreatedText("TagName", name, tagNodeId(tag)));
    }
}

// Creates a tag's variable under the tags' object, sets it up from the record
// and lists it; null when the node could not be made. The change signal is
// connected last, so the initial writes reach no slot.
QUaBaseDataVariable *cInternalFunctions::addTagVariable(const QJsonObject &tag, int type)
{
    if (!m_folderSub)
        return nullptr;
    m_currentTag = m_folderSub->addBaseDataVariable(
        QUaQualifiedName(tag[QLatin1String("TagName")].toString()), tagNodeId(tag));
    QUaBaseDataVariable *variable = m_currentTag;
    if (!variable)
        return nullptr;
    variable->setWriteAccess(tag[QLatin1String("WriteAccess")].toBool());
    variable->setDataType(QMetaType::Type(type));
    variable->setValue(valueOf(tag[QLatin1String("Value")]));
    variable->setDescription(QUaLocalizedText(tag[QLatin1String("Description")].toString()));
    variable->setValueRank(-1);
    connect(variable, SIGNAL(valueChanged(const QVariant &, const bool &)), this,
            SLOT(slot_OPCUA_Tag_changed(const QVariant &, const bool &)));
    listTag(variable);
    return variable;
}

int cInternalFunctions::formatToType(const QJsonObject &tag)
{
    const QString format = tag[QLatin1String("Format")].toString();
    for (const TagFormat &known : kTagFormats) {
        if (format == QLatin1String(known.name))
            return known.type;
    }
    return QMetaType::UnknownType;
}

bool cInternalFunctions::findTagValue(QString name, QVariant &value)
{
    QUaBaseDataVariable *variable = findTag(name);
    if (!variable)
        return false;
    value = variable->value();
    return true;
}

// The first listed tag whose browse name has this name part, now the current
// tag; null when there is none. Deleted tags met on the way leave the lists.
QUaBaseDataVariable *cInternalFunctions::findTag(const QString &name)
{
    forgetDestroyedTags();
    const auto named = m_tagsByName.constFind(name);
    if (named == m_tagsByName.constEnd())
        return nullptr;
    const QList<QPointer<QUaBaseDataVariable>> candidates = named.value();
    for (const QPointer<QUaBaseDataVariable> &variable : candidates) {
        if (isDeletedTag(variable)) {
            forgetTag(name, variable);
            continue;
        }
        m_currentTag = variable;
        return variable;
    }
    return nullptr;
}

void cInternalFunctions::listTag(QUaBaseDataVariable *variable)
{
    m_tags.append(variable);
    m_tagsByName[variable->browseName().name()].append(variable);
    connect(variable, &QObject::destroyed, this, [this] { m_tagsDestroyed = true; });
}

// The stack deletes a node at once and its object a little later: a tag whose
// node is gone from the address space counts as deleted already.
bool cInternalFunctions::isDeletedTag(const QPointer<QUaBaseDataVariable> &tag) const
{
    return !tag || m_opcServer->nodeById(tag->nodeId()) != tag;
}

// Only deletions pay for the walk through m_tags.
void cInternalFunctions::forgetTag(const QString &name, const QPointer<QUaBaseDataVariable> &tag)
{
    m_tags.removeOne(tag);
    QList<QPointer<QUaBaseDataVariable>> &named = m_tagsByName[name];
    named.removeOne(tag);
    if (named.isEmpty())
        m_tagsByName.remove(name);
}

// One sweep for every tag object that went since the last lookup.
void cInternalFunctions::forgetDestroyedTags()
{
    if (!m_tagsDestroyed)
        return;
    m_tagsDestroyed = false;
    const auto isNull = [](const QPointer<QUaBaseDataVariable> &tag) { return tag.isNull(); };
    m_tags.erase(std::remove_if(m_tags.begin(), m_tags.end(), isNull), m_tags.end());
    for (auto named = m_tagsByName.begin(); named != m_tagsByName.end();) {
        named->erase(std::remove_if(named->begin(), named->end(), isNull), named->end());
        named = named->isEmpty() ? m_tagsByName.erase(named) : std::next(named);
    }
}

bool cInternalFunctions::createNewTag(const QJsonObject &tag)
{
    const QString name = tag[QLatin1String("TagName")].toString();
    if (!hasKeys(tag, {"Value", "Format", "WriteAccess", "NodeId", "TagName"})) {
        CORE_LOG("critical", QStringLiteral("ERROR New: TagName= ") + name);
        return false;
    }
    if (name.isEmpty())
        return false;
    if (findTag(name))
        return updateTagIfChanged(name, valueOf(tag[QLatin1String("Value")]),
                                  tag[QLatin1String("Format")].toString());
    const int type = formatToType(tag);
    if (type == QMetaType::UnknownType) {
        CORE_LOG("critical", QStringLiteral("ERROR Conversion Type for TAG: ") + name);
        return false;
    }
    if (QUaBaseDataVariable *variable = addTagVariable(tag, type))
        CORE_LOG("info", QStringLiteral("Added SQL TAG: ") + variable->browseName().name());
    else
        CORE_LOG("critical", notCreatedText("TagName", name, tagNodeId(tag)));
    return false;
}

// True only when the tag's value was written (or its Format was unknown).
bool cInternalFunctions::updateTagIfChanged(QString name, QVariant value, QString format)
{
    QVariant current;
    if (!findTagValue(name, current) || current == value)
        return false;
    return setTagValue({{QStringLiteral("TagName"), QJsonValue::fromVariant(name)},
                        {QStringLiteral("Format"), QJsonValue::fromVariant(format)},
                        {QStringLiteral("Value"), QJsonValue::fromVariant(value)}});
}

bool cInternalFunctions::setTagValue(const QJsonObject &tag)
{
    const QString name = tag[QLatin1String("TagName")].toString();
    if (!hasKeys(tag, {"Value", "Format", "TagName"})) {
        CORE_LOG("critical", QStringLiteral("ERROR Write: TagName= ") + name);
        return false;
    }
    QUaBaseDataVariable *variable = findTag(name);
    if (!variable)
        return false;
    const int type = formatToType(tag);
    if (type == QMetaType::UnknownType) {
        CORE_LOG("critical", QStringLiteral("ERROR Conversion Type for TAG: ") + name);
        return true;
    }
    variable->setDataType(QMetaType::Type(type));
    const QVariant value = valueOf(tag[QLatin1String("Value")]);
    if (variable->value() == value)
        return true;
    variable->setValue(value);
    CORE_LOG("info", QStringLiteral("Changed Tag[") + name + QStringLiteral("]=") +
                         tag[QLatin1String("Value")].toString() + QStringLiteral(", Format=") +
                         tag[QLatin1String("Format")].toString() + QStringLiteral(" (SQL)"));
    return true;
}

// Every tag's change passes here, the gateway's own writes included; only a
// client's value goes on into SQL. The deferred SQL check waits until one
// interval after the last change.
void cInternalFunctions::slot_OPCUA_Tag_changed(const QVariant &value, const bool &networkChange)
{
    if (!m_ready)
        return;
    m_checkTimer.stop();
    const auto *tag = qobject_cast<const QUaBaseDataVariable *>(sender());
    const QString name = tag ? tag->browseName().name() : QString();
    CORE_LOG("debug", QStringLiteral("OPC Changed: TagName= ") + name +
                          QStringLiteral(", Value= ") + value.toString() +
                          QStringLiteral(", networkChange=") + QString::number(networkChange));
    writeTagToSql(name, value, networkChange);
    restartCheckTimer();
}

// Without a database the check timer was never set up: started with Qt's
// defaults it would fire continuously, so it stays stopped.
void cInternalFunctions::restartCheckTimer()
{
    if (m_db.isOpen())
        m_checkTimer.start();
}

// Every row whose key is the tag's name takes the value's text. A refused write
// is reported on one line and dropped from the model, so the view shows what
// the database holds; the variable keeps the client's value.
void cInternalFunctions::writeTagToSql(QString name, const QVariant &value,
                                       const bool &networkChange)
{
    if (!networkChange)
        return;
    if (m_tableModel) {
        indexTagRows();
        const QVector<int> rows = m_rowsByKey.rowsOf(name);
        const bool written = m_tableModel->isDirty() || orderDependsOn(kValueColumn)
                                 ? writeRowsAndReadTable(rows, name, value.toString())
                                 : writeRowsOneByOne(rows, name, value.toString());
        if (!written) {
            CORE_LOG("critical", QStringLiteral("ERROR SQL Write: TagName= ") + name +
                                     QStringLiteral(", ") +
                                     m_tableModel->lastError().text().simplified());
            m_tableModel->revertAll();
        }
    }
    emit sql_updated();
}

// Each row is stored and read back on its own, so a write costs the same
// whatever the table's size; the rows keep their places, which the view's
// order does not depend on. Rows after a refused one are not written.
bool cInternalFunctions::writeRowsOneByOne(const QVector<int> &rows, const QString &name,
                                           const QString &text)
{
    m_tableModel->setEditStrategy(QSqlTableModel::OnFieldChange);
    bool written = true;
    for (const int row : rows) {
        if (written)
            written = m_tableModel->setData(m_tableModel->index(row, kValueColumn), QVariant(text),
                                            Qt::EditRole);
        logOpcChange(name, text);
    }
    m_tableModel->setEditStrategy(QSqlTableModel::OnManualSubmit);
    return written;
}

// The view is ordered by the values, or holds edits not stored yet that go
// with the rows: everything is submitted and the whole table read again, so
// changed rows move to their places.
bool cInternalFunctions::writeRowsAndReadTable(const QVector<int> &rows, const QString &name,
                                               const QString &text)
{
    for (const int row : rows) {
        m_tableModel->setData(m_tableModel->index(row, kValueColumn), QVariant(text), Qt::EditRole);
        logOpcChange(name, text);
    }
    return m_tableModel->submitAll();
}

void cInternalFunctions::logOpcChange(const QString &name, const QString &text)
{
    CORE_LOG_AS(QStringLiteral("void cInternalFunctions::writeTagToSql(QString, const QVariant&, "
                               "const bool&)"),
                "info",
                QStringLiteral("Changed Tag[") + name + QStringLiteral("]=") + text +
                    QStringLiteral(" (OPC)"));
}

// Whether the order the view last asked for sorts by this column; the model
// keeps that order in its statement only.
bool cInternalFunctions::orderDependsOn(int column) const
{
    struct OrderOf : QSqlTableModel {
        static QString clause(const QSqlTableModel &model)
        {
            return (model.*(&OrderOf::orderByClause))();
        }
    };
    const QString field = m_db.driver()->escapeIdentifier(m_tableModel->record().fieldName(column),
                                                          QSqlDriver::FieldName);
    return OrderOf::clause(*m_tableModel).contains(QLatin1Char('.') + field + QLatin1Char(' '));
}

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

// Handles the pending notification: an inserted or updated row is loaded
// alone, a deletion reloads every row. Another channel's name stays pending.
void cInternalFunctions::slot_iTimerCheckSQL()
{
    if (!m_tableModel)
        return;
    const bool oneRow = m_pendingNotification == QLatin1String("insert_tags_notf") ||
                        m_pendingNotification == QLatin1String("update_tags_notf");
    if (oneRow) {
        m_pendingNotification.clear();
        bool isNumber = false;
        const int id = m_pendingPayload.toInt(&isNumber, 10);
        if (isNumber) {
            refreshTagRow(id);
            loadTagRow(id);
        } else {
            m_tableModel->select();
        }
    } else if (m_pendingNotification == QLatin1String("delete_tags_notf")) {
        m_pendingNotification.clear();
        m_tableModel->select();
        reloadAllTags();
    } else {
        return;
    }
    emit sql_updated();
}

// Re-reads the notified row alone; only a new row, or a change in the column
// the view is ordered by, has the whole table read again, as the row may then
// take another place.
void cInternalFunctions::refreshTagRow(int id)
{
    const int row = modelRowOfId(id);
    if (row >= 0) {
        const QSqlRecord held = m_tableModel->record(row);
        if (m_tableModel->selectRow(row)) {
            const QSqlRecord read = m_tableModel->record(row);
            bool inPlace = read.count() == held.count();
            for (int column = 0; inPlace && column < held.count(); ++column)
                inPlace = read.value(column) == held.value(column) || !orderDependsOn(column);
            if (inPlace)
                return;
        }
    }
    m_tableModel->select();
}

// The row whose id column holds the notified id, wherever the view's order
// has put it; nothing happens when no row has it.
void cInternalFunctions::loadTagRow(int id)
{
    const int row = modelRowOfId(id);
    if (row >= 0)
        createNewTag(tagRecordOfRow(row));
}

void cInternalFunctions::reloadAllTags()
{
    const int rows = fetchTagRows();
    for (int row = 0; row < rows; ++row)
        createNewTag(tagRecordOfRow(row));
}

// The model reads large tables in portions; the tags are looked for in all
// of them. Returns the number of rows.
int cInternalFunctions::fetchTagRows()
{
    while (m_tableModel->canFetchMore())
        m_tableModel->fetchMore();
    return m_tableModel->rowCount();
}

QString cInternalFunctions::tagCell(int row, int column) const
{
    return m_tableModel->data(m_tableModel->index(row, column), Qt::DisplayRole).toString();
}

int cInternalFunctions::modelRowOfId(int id)
{
    indexTagRows();
    const QVector<int> rows = m_rowsById.rowsOf(QString::number(id));
    return rows.isEmpty() ? -1 : rows.first();
}

// Brings the row indexes up to date with every row of the model: read afresh
// after a reset or a new order, in step otherwise.
void cInternalFunctions::indexTagRows()
{
    watchTagRows();
    const int rows = fetchTagRows();
    if (m_rowsIndexed)
        return;
    for (TagRowIndex *index : {&m_rowsByKey, &m_rowsById}) {
        index->clear();
        for (int row = 0; row < rows; ++row)
            index->append(tagCell(row, index->column()));
    }
    m_rowsIndexed = true;
}

// The window may hand the core another model at any time.
void cInternalFunctions::watchTagRows()
{
    if (m_indexedModel == m_tableModel)
        return;
    if (m_indexedModel)
        disconnect(m_indexedModel, nullptr, this, nullptr);
    m_indexedModel = m_tableModel.data();
    m_rowsIndexed = false;
    QAbstractItemModel *model = m_indexedModel;
    connect(model, &QAbstractItemModel::modelReset, this, &cInternalFunctions::forgetTagRows);
    connect(model, &QAbstractItemModel::layoutChanged, this, &cInternalFunctions::forgetTagRows);
    connect(model, &QAbstractItemModel::rowsMoved, this, &cInternalFunctions::forgetTagRows);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &cInternalFunctions::forgetTagRows);
    connect(model, &QAbstractItemModel::rowsInserted, this, &cInternalFunctions::indexInsertedRows);
    connect(model, &QAbstractItemModel::dataChanged, this, &cInternalFunctions::indexChangedRows);
}

void cInternalFunctions::forgetTagRows()
{
    m_rowsIndexed = false;
}

// Rows read in a further portion come at the end and are indexed as they come;
// rows put anywhere else move the ones after them.
void cInternalFunctions::indexInsertedRows(const QModelIndex &, int first, int last)
{
    if (!m_rowsIndexed)
        return;
    if (first != m_rowsByKey.size()) {
        forgetTagRows();
        return;
    }
    for (int row = first; row <= last; ++row) {
        m_rowsByKey.append(tagCell(row, kKeyColumn));
        m_rowsById.append(tagCell(row, kIdColumn));
    }
}

void cInternalFunctions::indexChangedRows(const QModelIndex &topLeft,
                                          const QModelIndex &bottomRight)
{
    if (!m_rowsIndexed)
        return;
    for (TagRowIndex *index : {&m_rowsByKey, &m_rowsById}) {
        if (index->column() < topLeft.column() || index->column() > bottomRight.column())
            continue;
        const int last = std::min(bottomRight.row(), index->size() - 1);
        for (int row = topLeft.row(); row <= last; ++row)
            index->update(row, tagCell(row, index->column()));
    }
}

// A row's record: every field its cell's text, the key as node id too, the
// type column as the write flag.
QJsonObject cInternalFunctions::tagRecordOfRow(int row) const
{
    const QString key = tagCell(row, kKeyColumn);
    return {{QStringLiteral("TagName"), key},
            {QStringLiteral("NodeId"), key},
            {QStringLiteral("Value"), tagCell(row, kValueColumn)},
            {QStringLiteral("WriteAccess"), isWritableFlag(tagCell(row, kTypeColumn))},
            {QStringLiteral("Description"), tagCell(row, kDescriptionColumn)},
            {QStringLiteral("Format"), tagCell(row, kFormatColumn)}};
}

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
