#ifndef TAGSTABLE_H
#define TAGSTABLE_H

#include <QJsonDocument>
#include <QJsonObject>

// The "Tables" entry of sql.json for the tags table as the default
// configuration declares it: id as integer primary key, the rest text.
namespace TestTables
{

inline QJsonObject tagsTable()
{
    return QJsonDocument::fromJson(R"({"TableName": "tags", "PrimaryKey": "id", "Columns": [
        {"Name": "id", "Type": "INTEGER", "AutoIncrement": "", "Null": "NOT NULL"},
        {"Name": "number", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "key", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "value", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "type", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "description", "Type": "TEXT", "AutoIncrement": "", "Null": ""},
        {"Name": "format", "Type": "TEXT", "AutoIncrement": "", "Null": ""}]})")
        .object();
}

} // namespace TestTables

#endif // TAGSTABLE_H
