#include "internal_functions.h"

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"
#include "quasession.h"
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
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <initializer_list>

// Every log line of the core names this file, the calling line and the calling
// function's signature.
#define CORE_LOG_AS(function, level, message)                                                      \
    writeLog(QStringLiteral("internal_functions.cpp"), __LINE__, function, QStringLiteral(level),  \
             message)
#define CORE_LOG(level, message) CORE_LOG_AS(QString::fromUtf8(Q_FUNC_INFO), level, message)

namespace
{

// The log pane keeps this many lines and about this many characters; older
// lines are dropped so a gateway that logs every tag change cannot exhaust
// memory.
constexpr int kLogPaneMaxLines = 50000;
constexpr int kLogPaneMaxCharacters = 4 * 1024 * 1024;

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

// JSON numbers are doubles: a port number is a whole one in 1-65535.
bool isPortNumber(const QJsonValue &value)
{
    const double number = value.toDouble(-1);
    return value.isDouble() && number >= 1 && number <= 65535 && number == std::floor(number);
}

// A setting's value as it is written in the file, strings quoted.
QString settingText(const QJsonValue &value)
{
    if (value.isUndefined())
        return QStringLiteral("(missing)");
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

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

cInternalFunctions::cInternalFunctions(QPlainTextEdit *logPane, bool *configLoaded,
                                       const GatewayPaths &paths)
    : QObject(nullptr), m_logPane(logPane), m_paths(paths)
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
    if (!isPortNumber(port)) {
        CORE_LOG_AS(kInitOpcFunction, "critical",
                    QStringLiteral("OPC UA NOT started: \"opcua_port\" %1 is not a port number "
                                   "(1-65535)")
                        .arg(settingText(port)));
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
        if (QUaBaseDataVariable *variable =
                addTagVariable(tag, type, valueOf(tag[QLatin1String("Value")])))
            CORE_LOG_AS(kInitOpcFunction, "info",
                        QStringLiteral("Added FILE TAG: ") + variable->browseName().name());
        else
            CORE_LOG_AS(kInitOpcFunction, "critical",
                        notCreatedText("TagName", name, tagNodeId(tag)));
    }
}

// Creates a tag's variable under the tags' object, sets it up from the record
// and lists it; null when the node could not be made. Without a valid value
// the variable waits for one with a Bad status. The change signal is
// connected last, so the initial writes reach no slot.
QUaBaseDataVariable *cInternalFunctions::addTagVariable(const QJsonObject &tag, int type,
                                                        const QVariant &value)
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
    if (value.isValid())
        variable->setValue(value);
    else
        variable->setStatusCode(QUaStatusCode(UA_STATUSCODE_BADWAITINGFORINITIALDATA));
    variable->setDescription(QUaLocalizedText(tag[QLatin1String("Description")].toString()));
    variable->setValueRank(-1);
    // The tag comes with its change: asking Qt for the sender would walk every
    // connection to the core, two per tag.
    connect(variable, &QUaBaseDataVariable::valueChanged, this,
            [this, variable](const QVariant &value, const bool &networkChange) {
                slot_OPCUA_Tag_changed(variable, value, networkChange);
            });
    listTag(variable);
    return variable;
}

int cInternalFunctions::formatToType(const QJsonObject &tag)
{
    return tagFormatType(tag[QLatin1String("Format")].toString());
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
    if (QUaBaseDataVariable *variable = addTagVariable(tag, type, value))
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
    m_storedQueue += values;
    workInSlices();
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
    m_rowTimer.setInterval(0);
    connect(&m_rowTimer, &QTimer::timeout, this, &cInternalFunctions::loadQueuedRows);
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

void cInternalFunctions::slot_SQL_rowsRead(const TagRows &rows)
{
    m_rowQueue += rows;
    workInSlices();
}

void cInternalFunctions::workInSlices()
{
    if (m_rowTimer.isActive())
        return;
    m_sinceProgress.start();
    m_rowTimer.start();
}

// Logs stored values and turns queued rows into tags for a few milliseconds at
// a time, so the window and the clients are served between slices; a long load
// reports its progress.
void cInternalFunctions::loadQueuedRows()
{
    constexpr int kSliceMs = 8;
    constexpr int kProgressIntervalMs = 1000;
    QElapsedTimer slice;
    slice.start();
    // Rows change what clients see: they get at least half of every slice.
    const int rowsMs = m_storedNext < m_storedQueue.size() ? kSliceMs / 2 : kSliceMs;
    while (m_rowQueueNext < m_rowQueue.size() && !slice.hasExpired(rowsMs))
        loadTagRow(m_rowQueue.at(m_rowQueueNext++));
    while (m_storedNext < m_storedQueue.size() && !slice.hasExpired(kSliceMs))
        logStoredValue(m_storedQueue.at(m_storedNext++));
    if (m_storedNext == m_storedQueue.size()) {
        m_storedQueue.clear();
        m_storedNext = 0;
    }
    if (!m_storedQueue.isEmpty())
        return;
    if (m_rowQueueNext < m_rowQueue.size()) {
        if (m_sinceProgress.hasExpired(kProgressIntervalMs)) {
            m_sinceProgress.restart();
            CORE_LOG("info", QStringLiteral("Loading SQL tags: %1 of %2 rows")
                                 .arg(m_rowQueueNext)
                                 .arg(m_rowQueue.size()));
        }
        return;
    }
    m_rowTimer.stop();
    m_rowQueue.clear();
    m_rowQueueNext = 0;
    emit sql_updated();
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
    const QString shortLine = logTimestamp(localNow()) + QStringLiteral(" > ") + message;
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
    trimLogPane();
}

// A quarter of the lines go at once, so trimming stays rare.
void cInternalFunctions::trimLogPane()
{
    QTextDocument *document = m_logPane->document();
    if (document->characterCount() <= kLogPaneMaxCharacters)
        return;
    QTextCursor oldest(document);
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                        std::max(1, document->blockCount() / 4));
    oldest.removeSelectedText();
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
