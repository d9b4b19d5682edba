#ifndef ADDRESSSPACE_H
#define ADDRESSSPACE_H

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVector>
#include <functional>
#include <initializer_list>

class GatewayLog;
class QUaServer;
class QUaFolderObject;
class QUaBaseObject;
class QUaBaseDataVariable;
class QUaBaseVariable;

// A JSON number is taken as a double (Qt 5.15 would give integral numbers as
// qlonglong), so a property's data type does not depend on how its number
// happens to be written.
QVariant valueOf(const QJsonValue &value);
bool hasKeys(const QJsonObject &entry, std::initializer_list<const char *> keys);

// The gateway's part of the OPC UA address space: the main folder with its
// properties, the tags' object under it and the tag variables, which it lists
// by name. It reports every tag's change.
class AddressSpace : public QObject
{
    Q_OBJECT

public:
    // A tag's data type from its record: a QMetaType::Type, or UnknownType.
    using TypeOf = std::function<int(const QJsonObject &)>;

    AddressSpace(QUaServer *server, GatewayLog &log, QObject *parent = nullptr);

    // The folders, properties and, when "PreloadTags" says so, the file's tags.
    void build(const QJsonObject &tagConfig, const TypeOf &typeOf);

    // A tag record's variable, listed; null (and reported) when its node
    // could not be made.
    QUaBaseDataVariable *addSqlTag(const QJsonObject &tag, int type, const QVariant &value);
    // The first listed tag whose browse name has this name part; null when
    // there is none. Deleted tags met on the way leave the lists.
    QUaBaseDataVariable *findTag(const QString &name);

    // In creation order, file tags first; a tag whose node was deleted leaves
    // the list at the next lookup of its name (its object's entry turns null).
    const QVector<QPointer<QUaBaseDataVariable>> &tags() const { return m_tags; }

signals:
    void tagChanged(QUaBaseDataVariable *tag, const QVariant &value, bool networkChange);

private:
    void addFolders(const QJsonObject &tagConfig);
    void addProperties(const QJsonObject &tagConfig);
    void addFileTags(const QJsonObject &tagConfig, const TypeOf &typeOf);
    QUaBaseDataVariable *addTagVariable(const QJsonObject &tag, int type, const QVariant &value);
    void listTag(QUaBaseDataVariable *variable);
    bool isDeletedTag(const QPointer<QUaBaseDataVariable> &tag) const;
    void forgetTag(const QString &name, const QPointer<QUaBaseDataVariable> &tag);
    void reportTagChange(QUaBaseVariable *variable, const QVariant &value, bool networkChange);
    void log(int line, const QString &function, const QString &level, const QString &message);

    QUaServer *m_server;
    GatewayLog &m_log;
    // The nodes belong to the address space, and any client may delete them
    // (their objects go with them): this only watches them.
    QPointer<QUaFolderObject> m_folderMain;
    QPointer<QUaBaseObject> m_folderSub;
    QVector<QPointer<QUaBaseDataVariable>> m_tags;
    // m_tags by browse name, each name's tags in creation order, so the first
    // live one is the first match of a scan of m_tags.
    QHash<QString, QVector<QPointer<QUaBaseDataVariable>>> m_tagsByName;
    bool m_settingUpTag = false;
};

#endif // ADDRESSSPACE_H
