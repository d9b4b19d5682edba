#ifndef PGTESTDB_H
#define PGTESTDB_H

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include "tagstable.h"

// The PostgreSQL server that scripts/test.sh starts for the suite, described by
// the GATEWAY_TEST_PG_* variables. Each test executable works in a database of
// its own, so tests running in parallel never see each other's rows.
namespace TestPostgres
{

constexpr char kNotConfigured[] =
    "GATEWAY_TEST_PG_HOST is not set: scripts/test.sh starts the PostgreSQL server these tests "
    "need";

inline QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

inline bool configured()
{
    return !env("GATEWAY_TEST_PG_HOST").isEmpty();
}

inline QSqlDatabase connectTo(const QString &connection, const QString &database)
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
    db.setHostName(env("GATEWAY_TEST_PG_HOST"));
    db.setPort(env("GATEWAY_TEST_PG_PORT").toInt());
    db.setUserName(env("GATEWAY_TEST_PG_USER"));
    db.setPassword(env("GATEWAY_TEST_PG_PASSWORD"));
    db.setDatabaseName(database);
    db.open();
    return db;
}

// sql.json for the gateway on this server's database, with the tags table.
inline QJsonObject sqlConfig(const QString &database)
{
    return {{"sql_enable", true},
            {"database_type", "POSTGRESQL"},
            {"database_name", database},
            {"database_path", env("GATEWAY_TEST_PG_HOST")},
            {"database_port", env("GATEWAY_TEST_PG_PORT").toInt()},
            {"database_user", env("GATEWAY_TEST_PG_USER")},
            {"database_password", env("GATEWAY_TEST_PG_PASSWORD")},
            {"Tables", QJsonArray{TestTables::tagsTable()}}};
}

// Creates a database named <prefix>_<pid>_<ms> over the "admin" connection and
// stores its name; returns the server's error text, empty on success.
inline QString createOwnDatabase(const QString &prefix, QString &name)
{
    QSqlDatabase admin = connectTo("admin", env("GATEWAY_TEST_PG_DATABASE"));
    if (!admin.isOpen())
        return admin.lastError().text();
    const QString candidate = QStringLiteral("%1_%2_%3")
                                  .arg(prefix)
                                  .arg(QCoreApplication::applicationPid())
                                  .arg(QDateTime::currentMSecsSinceEpoch());
    QSqlQuery create(admin);
    if (!create.exec("CREATE DATABASE " + candidate))
        return create.lastError().text();
    name = candidate;
    return QString();
}

inline void dropOwnDatabase(const QString &name)
{
    if (name.isEmpty())
        return;
    QSqlQuery drop(QSqlDatabase::database("admin"));
    drop.exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

} // namespace TestPostgres

#endif // PGTESTDB_H
