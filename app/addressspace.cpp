#include "addressspace.h"

#include "gatewaylog.h"
#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaproperty.h"
#include "quaserver.h"

#include <QJsonArray>
#include <QScopedValueRollback>
#include <algorithm>

namespace
{

// The address-space build reports under the function that runs it.
const QString kInitOpcFunction = QStringLiteral("void cInternalFunctions::InitOPC()");
const QString kNewTagFunction =
    QStringLiteral("bool cInternalFunctions::createNewTag(const QJsonObject&)");

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

} // namespace

QVariant valueOf(const QJsonValue &value)
{
    return value.isDouble() ? QVariant(value.toDouble()) : value.toVariant();
}

bool hasKeys(const QJsonObject &entry, std::initializer_list<const char *> keys)
{
    return std::all_of(keys.begin(), keys.end(),
                       [&entry](const char *key) { return entry.contains(QLatin1String(key)); });
}

// One connection for all tags: the server reports every variable's writes.
AddressSpace::AddressSpace(QUaServer *server, GatewayLog &log, QObject *parent)
    : QObject(parent), m_server(server), m_log(log)
{
    connect(m_server, &QUaServer::variableValueChanged, this, &AddressSpace::reportTagChange);
}

// Tags are the variables under the tags' object; their first writes, made
// while they are set up, are no changes.
void AddressSpace::reportTagChange(QUaBaseVariable *variable, const QVariant &value,
                                   bool networkChange)
{
    if (m_settingUpTag || !m_folderSub || variable->parent() != m_folderSub)
        return;
    if (auto *tag = qobject_cast<QUaBaseDataVariable *>(variable))
        emit tagChanged(tag, value, networkChange);
}

void AddressSpace::log(int line, const QString &function, const QString &level,
                       const QString &message)
{
    m_log.write(QStringLiteral("addressspace.cpp"), line, function, level, message);
}

void AddressSpace::build(const QJsonObject &tagConfig, const TypeOf &typeOf)
{
    addFolders(tagConfig);
    if (m_folderMain)
        addProperties(tagConfig);
    // Without the tags' object the file's tags have nowhere to go; the folder's
    // failure is in the log already.
    if (m_folderSub && tagConfig[QLatin1String("PreloadTags")].toBool())
        addFileTags(tagConfig, typeOf);
}

void AddressSpace::addFolders(const QJsonObject &tagConfig)
{
    const QJsonObject main = tagConfig[QLatin1String("FolderMain")].toObject();
    const QString mainName = main[QLatin1String("FolderName")].toString();
    const QUaNodeId mainId = numericNodeId(main[QLatin1String("NodeId")]);
    m_folderMain = m_server->objectsFolder()->addFolderObject(QUaQualifiedName(mainName), mainId);
    if (!m_folderMain) {
        log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
            notCreatedText("FOLDER", mainName, mainId));
        return;
    }
    const QJsonObject sub = tagConfig[QLatin1String("FolderSub")].toObject();
    const QString subName = sub[QLatin1String("FolderName")].toString();
    const QUaNodeId subId = numericNodeId(sub[QLatin1String("NodeId")]);
    m_folderSub = m_folderMain->addBaseObject(QUaQualifiedName(subName), subId);
    if (!m_folderSub)
        log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
            notCreatedText("FOLDER", subName, subId));
}

// Constant values for clients to read; the gateway never listens to them.
void AddressSpace::addProperties(const QJsonObject &tagConfig)
{
    for (const QJsonValue &entry : tagConfig[QLatin1String("Properties")].toArray()) {
        const QJsonObject record = entry.toObject();
        const QString name = record[QLatin1String("PropName")].toString();
        if (!hasKeys(record, {"PropName", "Value", "NodeId"})) {
            log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
                QStringLiteral("ERROR Added: PROPERTY= ") + name);
            continue;
        }
        const QUaNodeId nodeId = numericNodeId(record[QLatin1String("NodeId")]);
        QUaProperty *property = m_folderMain->addProperty(QUaQualifiedName(name), nodeId);
        if (!property) {
            log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
                notCreatedText("PROPERTY", name, nodeId));
            continue;
        }
        property->setWriteAccess(false);
        property->setValue(valueOf(record[QLatin1String("Value")]));
        property->setValueRank(-1);
        log(__LINE__, kInitOpcFunction, QStringLiteral("info"),
            QStringLiteral("Added: PROPERTY= ") + property->browseName().name());
    }
}

void AddressSpace::addFileTags(const QJsonObject &tagConfig, const TypeOf &typeOf)
{
    for (const QJsonValue &entry : tagConfig[QLatin1String("Tags")].toArray()) {
        const QJsonObject tag = entry.toObject();
        const QString name = tag[QLatin1String("TagName")].toString();
        if (!hasKeys(tag, {"TagName", "Format", "Value", "NodeId", "WriteAccess"})) {
            log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
                QStringLiteral("ERROR Added: TagName= ") + name);
            continue;
        }
        const int type = typeOf(tag);
        if (type == QMetaType::UnknownType) {
            log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
                QStringLiteral("ERROR Conversion Type for TAG: ") + name);
            continue;
        }
        if (QUaBaseDataVariable *variable =
                addTagVariable(tag, type, valueOf(tag[QLatin1String("Value")])))
            log(__LINE__, kInitOpcFunction, QStringLiteral("info"),
                QStringLiteral("Added FILE TAG: ") + variable->browseName().name());
        else
            log(__LINE__, kInitOpcFunction, QStringLiteral("critical"),
                notCreatedText("TagName", name, tagNodeId(tag)));
    }
}

QUaBaseDataVariable *AddressSpace::addSqlTag(const QJsonObject &tag, int type,
                                             const QVariant &value)
{
    QUaBaseDataVariable *variable = addTagVariable(tag, type, value);
    if (variable)
        log(__LINE__, kNewTagFunction, QStringLiteral("info"),
            QStringLiteral("Added SQL TAG: ") + variable->browseName().name());
    else
        log(__LINE__, kNewTagFunction, QStringLiteral("critical"),
            notCreatedText("TagName", tag[QLatin1String("TagName")].toString(), tagNodeId(tag)));
    return variable;
}

// Creates a tag's variable under the tags' object, sets it up from the record
// and lists it; null when the node could not be made. Without a valid value
// the variable waits for one with a Bad status.
QUaBaseDataVariable *AddressSpace::addTagVariable(const QJsonObject &tag, int type,
                                                  const QVariant &value)
{
    if (!m_folderSub)
        return nullptr;
    const QScopedValueRollback<bool> settingUp(m_settingUpTag, true);
    QUaBaseDataVariable *variable = m_folderSub->addBaseDataVariable(
        QUaQualifiedName(tag[QLatin1String("TagName")].toString()), tagNodeId(tag));
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
    listTag(variable);
    return variable;
}

QUaBaseDataVariable *AddressSpace::findTag(const QString &name)
{
    const auto named = m_tagsByName.constFind(name);
    if (named == m_tagsByName.constEnd())
        return nullptr;
    const QVector<QPointer<QUaBaseDataVariable>> candidates = named.value();
    for (const QPointer<QUaBaseDataVariable> &variable : candidates) {
        if (isDeletedTag(variable)) {
            forgetTag(name, variable);
            continue;
        }
        return variable;
    }
    return nullptr;
}

void AddressSpace::listTag(QUaBaseDataVariable *variable)
{
    m_tags.append(variable);
    m_tagsByName[variable->browseName().name()].append(variable);
}

// The stack deletes a node at once and its object a little later: a tag whose
// node is gone from the address space counts as deleted already.
bool AddressSpace::isDeletedTag(const QPointer<QUaBaseDataVariable> &tag) const
{
    return !tag || m_server->nodeById(tag->nodeId()) != tag;
}

// Only deletions pay for the walk through m_tags.
void AddressSpace::forgetTag(const QString &name, const QPointer<QUaBaseDataVariable> &tag)
{
    m_tags.removeOne(tag);
    QVector<QPointer<QUaBaseDataVariable>> &named = m_tagsByName[name];
    named.removeOne(tag);
    if (named.isEmpty())
        m_tagsByName.remove(name);
}
