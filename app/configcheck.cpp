#include "configcheck.h"

#include "quaserver.h"
#include "tagvalue.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace
{

const QStringList kDatabaseTypes = {QStringLiteral("SQLLITE"), QStringLiteral("MSSQL"),
                                    QStringLiteral("POSTGRESQL")};

bool isWholeNumber(const QJsonValue &value)
{
    return value.isDouble() && value.toDouble() == std::floor(value.toDouble());
}

QString keyPath(const QString &prefix, const char *key)
{
    return prefix.isEmpty() ? QLatin1String(key) : prefix + QLatin1Char('.') + QLatin1String(key);
}

} // namespace

QString ConfigCheck::jsonText(const QJsonValue &value)
{
    if (value.isUndefined())
        return QStringLiteral("(missing)");
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// JSON numbers are doubles: a port number is a whole one in 1-65535.
bool ConfigCheck::isPortNumber(const QJsonValue &value)
{
    return isWholeNumber(value) && value.toDouble() >= 1 && value.toDouble() <= 65535;
}

ConfigCheck::ConfigCheck(const QString &settingsDir)
{
    QJsonObject file;
    if (load(settingsDir, "settings.json", file))
        checkSettings(file);
    if (load(settingsDir, "sql.json", file))
        checkSql(file);
    if (load(settingsDir, "tags.json", file))
        checkTags(file);
}

QStringList ConfigCheck::report() const
{
    QStringList lines;
    for (const Problem &problem : m_problems)
        lines << (problem.key.isEmpty() ? problem.file + QStringLiteral(": ") + problem.text
                                        : problem.file + QStringLiteral(": ") + problem.key +
                                              QStringLiteral(": ") + problem.text);
    return lines;
}

bool ConfigCheck::load(const QString &folder, const char *name, QJsonObject &target)
{
    m_file = folder + QLatin1Char('/') + QLatin1String(name);
    target = QJsonObject();
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly)) {
        return refuse(QStringLiteral("not found"));
    }
    // The gateway joins the lines without separators; so does the check.
    const QByteArray text = file.readAll().replace('\r', QByteArray()).replace('\n', QByteArray());
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (document.isNull()) {
        return refuse(QStringLiteral("invalid JSON (%1 at character %2)")
                          .arg(error.errorString())
                          .arg(error.offset));
    }
    if (!document.isObject())
        return refuse(QStringLiteral("not a JSON object"));
    target = document.object();
    return true;
}

bool ConfigCheck::refuse(const QString &reason)
{
    add(QString(), reason + QStringLiteral(": the gateway does not start"));
    m_filesLoad = false;
    return false;
}

void ConfigCheck::checkSettings(const QJsonObject &settings)
{
    const QJsonValue port = settings[QLatin1String("opcua_port")];
    if (!isPortNumber(port))
        add(QStringLiteral("opcua_port"),
            QStringLiteral("%1 is not a port number (1-65535): OPC UA is not served")
                .arg(jsonText(port)));
    expect(settings, QString(), "opcua_AnonymousLoginAllowed", Kind::Bool,
           QStringLiteral("read as false: anonymous logins are refused"));
    expect(settings, QString(), "opcua_User_name", Kind::Text);
    expect(settings, QString(), "opcua_User_password", Kind::Text);
    const QString user = settings[QLatin1String("opcua_User_name")].toString();
    if (!user.isEmpty() && settings[QLatin1String("opcua_User_password")].toString().isEmpty())
        add(QStringLiteral("opcua_User_password"),
            QStringLiteral("empty: the user \"%1\" is not added").arg(user));
    if (expect(settings, QString(), "opcua_Security", Kind::List,
               QStringLiteral("only None is offered")))
        checkSecurity(settings[QLatin1String("opcua_Security")]);
    expect(settings, QString(), "opcua_TrustAllClients", Kind::Bool);
    for (const char *sink : {"Console", "Window"}) {
        const QString consequence =
            QStringLiteral("read as false: no log lines in the %1 sink").arg(QLatin1String(sink));
        if (expect(settings, QString(), sink, Kind::Object, consequence))
            expect(settings[QLatin1String(sink)].toObject(), QLatin1String(sink), "OutputEnable",
                   Kind::Bool, consequence);
    }
}

void ConfigCheck::checkSecurity(const QJsonValue &policies)
{
    const QStringList supported = QUaServer::supportedSecurityPolicies();
    const QJsonArray names = policies.toArray();
    for (int i = 0; i < names.size(); ++i)
        if (!supported.contains(names[i].toString()))
            add(QStringLiteral("opcua_Security[%1]").arg(i),
                QStringLiteral("unknown security policy %1 (%2): skipped")
                    .arg(jsonText(names[i]), supported.join(QStringLiteral(", "))));
}

void ConfigCheck::checkSql(const QJsonObject &sql)
{
    if (!expect(sql, QString(), "sql_enable", Kind::Bool,
                QStringLiteral("read as false: no database is used")) ||
        !sql[QLatin1String("sql_enable")].toBool())
        return;
    const QJsonValue type = sql[QLatin1String("database_type")];
    if (!kDatabaseTypes.contains(type.toString()))
        add(QStringLiteral("database_type"),
            QStringLiteral("%1 is not SQLLITE, MSSQL or POSTGRESQL: the gateway runs without a "
                           "database")
                .arg(jsonText(type)));
    for (const char *key : {"database_name", "database_localpath", "database_path", "database_user",
                            "database_password"})
        expect(sql, QString(), key, Kind::Text);
    const QJsonValue port = sql[QLatin1String("database_port")];
    if (type.toString() == QLatin1String("POSTGRESQL") && !isPortNumber(port))
        add(QStringLiteral("database_port"),
            QStringLiteral("%1 is not a port number (1-65535): PostgreSQL cannot be reached")
                .arg(jsonText(port)));
    if (type.toString() == QLatin1String("SQLLITE") &&
        sql[QLatin1String("database_localpath")].toString().isEmpty())
        add(QStringLiteral("database_localpath"),
            QStringLiteral("empty: the data folder itself would be the database file, which "
                           "cannot be opened"));
    expect(sql, QString(), "table_enable", Kind::Bool);
    const QJsonValue poll = sql[QLatin1String("sql_poll_interval_ms")];
    if (expect(sql, QString(), "sql_poll_interval_ms", Kind::Integer) && poll.toDouble() < 0)
        add(QStringLiteral("sql_poll_interval_ms"),
            QStringLiteral("%1 is negative: the table is not polled").arg(jsonText(poll)));
    checkTables(sql);
}

void ConfigCheck::checkTables(const QJsonObject &sql)
{
    const QString notCreated = QStringLiteral("the table is not created");
    for (const auto &table : entries(sql, QString(), "Tables", notCreated)) {
        if (expect(table.second, table.first, "TableName", Kind::Text, notCreated) &&
            table.second[QLatin1String("TableName")].toString().isEmpty())
            add(table.first + QStringLiteral(".TableName"), QStringLiteral("empty: ") + notCreated);
        expect(table.second, table.first, "PrimaryKey", Kind::Text);
        for (const auto &column : entries(table.second, table.first, "Columns", notCreated)) {
            expectPresent(column.second, column.first, {"Name", "Type"}, notCreated);
            for (const char *key : {"Name", "Type", "AutoIncrement", "Null"})
                expect(column.second, column.first, key, Kind::Text, notCreated);
        }
    }
}

void ConfigCheck::checkTags(const QJsonObject &tags)
{
    checkFolder(tags, "FolderMain");
    checkFolder(tags, "FolderSub");
    checkProperties(tags);
    if (expect(tags, QString(), "PreloadTags", Kind::Bool,
               QStringLiteral("read as false: the file's tags are not loaded")) &&
        tags[QLatin1String("PreloadTags")].toBool())
        checkTagList(tags);
}

// Without a node id the server chooses one.
void ConfigCheck::checkFolder(const QJsonObject &tags, const char *key)
{
    const QString notCreated =
        QStringLiteral("the folder is not created, nor the properties or tags in it");
    const QString prefix = QLatin1String(key);
    if (!expectPresent(tags, QString(), {key}, notCreated) ||
        !expect(tags, QString(), key, Kind::Object, notCreated))
        return;
    const QJsonObject folder = tags[prefix].toObject();
    if (expectPresent(folder, prefix, {"FolderName"}, notCreated) &&
        expect(folder, prefix, "FolderName", Kind::Text, notCreated) &&
        folder[QLatin1String("FolderName")].toString().isEmpty())
        add(prefix + QStringLiteral(".FolderName"), QStringLiteral("empty: ") + notCreated);
    expect(folder, prefix, "NodeId", Kind::Integer,
           QStringLiteral("read as 0: the server chooses the node id"));
}

void ConfigCheck::checkProperties(const QJsonObject &tags)
{
    const QString skipped = QStringLiteral("the property is skipped");
    for (const auto &property : entries(tags, QString(), "Properties", skipped)) {
        expectPresent(property.second, property.first, {"PropName", "Value", "NodeId"}, skipped);
        expect(property.second, property.first, "PropName", Kind::Text);
        expect(property.second, property.first, "NodeId", Kind::Integer);
    }
}

void ConfigCheck::checkTagList(const QJsonObject &tags)
{
    const QString skipped = QStringLiteral("the tag is skipped");
    for (const auto &tag : entries(tags, QString(), "Tags", skipped)) {
        const QJsonObject &entry = tag.second;
        expectPresent(entry, tag.first, {"TagName", "Format", "Value", "NodeId", "WriteAccess"},
                      skipped);
        const QJsonValue format = entry[QLatin1String("Format")];
        if (!format.isUndefined() && tagFormatType(format.toString()) == QMetaType::UnknownType)
            add(tag.first + QStringLiteral(".Format"),
                QStringLiteral("unknown format %1: ").arg(jsonText(format)) + skipped);
        expect(entry, tag.first, "TagName", Kind::Text);
        expect(entry, tag.first, "NodeId", Kind::Text,
               QStringLiteral("read as an empty text: the server chooses the node id"));
        expect(entry, tag.first, "WriteAccess", Kind::Bool,
               QStringLiteral("read as false: clients cannot write the tag"));
        expect(entry, tag.first, "Description", Kind::Text);
    }
}

bool ConfigCheck::expect(const QJsonObject &object, const QString &prefix, const char *key,
                         Kind kind, const QString &consequence)
{
    struct KindText {
        const char *expected;
        const char *readAs;
    };
    static const KindText texts[] = {{"true or false", "read as false"},
                                     {"a text", "read as an empty text"},
                                     {"a whole number", "read as 0"},
                                     {"an object", "read as empty"},
                                     {"a list", "read as empty"}};
    const QJsonValue value = object[QLatin1String(key)];
    if (value.isUndefined())
        return false;
    const bool right =
        (kind == Kind::Bool && value.isBool()) || (kind == Kind::Text && value.isString()) ||
        (kind == Kind::Integer && isWholeNumber(value)) ||
        (kind == Kind::Object && value.isObject()) || (kind == Kind::List && value.isArray());
    if (!right) {
        const KindText &text = texts[int(kind)];
        add(keyPath(prefix, key),
            QStringLiteral("%1 is not %2: %3")
                .arg(jsonText(value), QLatin1String(text.expected),
                     consequence.isEmpty() ? QLatin1String(text.readAs) : consequence));
    }
    return right;
}

bool ConfigCheck::expectPresent(const QJsonObject &entry, const QString &prefix,
                                std::initializer_list<const char *> keys,
                                const QString &consequence)
{
    bool all = true;
    for (const char *key : keys) {
        if (entry.contains(QLatin1String(key)))
            continue;
        add(keyPath(prefix, key), QStringLiteral("missing: ") + consequence);
        all = false;
    }
    return all;
}

QList<QPair<QString, QJsonObject>> ConfigCheck::entries(const QJsonObject &object,
                                                        const QString &prefix, const char *key,
                                                        const QString &consequence)
{
    QList<QPair<QString, QJsonObject>> found;
    if (!expect(object, prefix, key, Kind::List))
        return found;
    const QJsonArray list = object[QLatin1String(key)].toArray();
    for (int i = 0; i < list.size(); ++i) {
        const QString path = QStringLiteral("%1[%2]").arg(keyPath(prefix, key)).arg(i);
        if (list[i].isObject())
            found.append({path, list[i].toObject()});
        else
            add(path, QStringLiteral("%1 is not an object: ").arg(jsonText(list[i])) + consequence);
    }
    return found;
}

void ConfigCheck::add(const QString &key, const QString &text)
{
    m_problems.append({m_file, key, text});
}
