// The SQL store on SQLite files and through a real ODBC driver: opening, the
// configured tables and their rules, the developer statements, the table model.
#include "internal_functions.h"
#include "mysqltablemodelresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QSqlError>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "support/settingsdir.h" // needs QCoreApplication, which QtTest brings
#include "support/tagstable.h"

namespace
{

QStringList g_messages;

void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtCriticalMsg)
        g_messages << text;
}

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject table(const QString &name, const QString &primaryKey)
{
    QJsonObject entry = json(R"({"Columns": [
        {"Name": "id", "Type": "INTEGER", "AutoIncrement": "", "Null": "NOT NULL"},
        {"Name": "key", "Type": "TEXT", "AutoIncrement": "", "Null": ""}]})");
    entry["TableName"] = name;
    if (!primaryKey.isEmpty())
        entry["PrimaryKey"] = primaryKey;
    return entry;
}

QJsonObject sqliteConfig(const QString &localPath, const QJsonArray &tables = {})
{
    return {{"sql_enable", true},
            {"database_type", "SQLLITE"},
            {"database_name", "store"},
            {"database_localpath", localPath},
            {"Tables", tables}};
}

const QStringList kRefusedRules = {"[critical] InitSQL insert_tags_notf - ERROR!",
                                   "[critical] InitSQL update_tags_notf - ERROR!",
                                   "[critical] InitSQL delete_tags_notf - ERROR!"};
const QString kOk = QStringLiteral("[info] InitSQL - OK!");

// A gateway core with the given sql.json whose window log the test reads; its
// connection is removed when it goes.
struct Core {
    explicit Core(const QJsonObject &sqlConfig)
    {
        bool loaded = false;
        core = std::make_unique<cInternalFunctions>(&pane, &loaded);
        core->m_sqlConfig = sqlConfig;
    }
    ~Core()
    {
        const QString connection = core->m_db.connectionName();
        core.reset();
        QSqlDatabase::removeDatabase(connection);
    }
    // The pane's lines without their timestamps: "[level] message".
    QStringList log() const
    {
        QStringList lines;
        for (const QString &line : pane.toPlainText().split('\n', Qt::SkipEmptyParts))
            lines << line.section(' ', 0, 0) + ' ' + line.section(" > ", 1);
        return lines;
    }
    QStringList tableTexts() const
    {
        QSqlQuery query("SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name",
                        core->m_db);
        QStringList texts;
        while (query.next())
            texts << query.value(0).toString();
        return texts;
    }

    QPlainTextEdit pane;
    std::unique_ptr<cInternalFunctions> core;
};

QString appFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + name;
}

} // namespace

class TestSqlStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSettings::clear();
        TestSettings::write("settings.json", R"({"Console": {"OutputEnable": true},
                                                  "Window": {"OutputEnable": true}})");
        TestSettings::write("sql.json", "{}");
        TestSettings::write("tags.json", "{}");
    }
    void init()
    {
        g_messages.clear();
        qInstallMessageHandler(captureMessages);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        for (const char *name : {"/store.db", "glued.db"})
            QFile::remove(appFile(name));
    }

    void unopenedDatabaseLeavesTheGatewayInert_data();
    void unopenedDatabaseLeavesTheGatewayInert();
    void sqlitePathIsGluedToTheApplicationDir();
    void tablesGetTheirExactTextAndRulesAreRefused();
    void developerStatementsReportOnDebugOutput();
    void modelCellsAreCentredAndBlack();
    void odbcConnectionStringIsExact_data();
    void odbcConnectionStringIsExact();
    void odbcDriverCreatesTheTables();
};

void TestSqlStore::unopenedDatabaseLeavesTheGatewayInert_data()
{
    QTest::addColumn<QJsonObject>("config");
    QTest::addColumn<QString>("line");
    QJsonObject disabled = sqliteConfig("/store.db");
    disabled["sql_enable"] = false;
    QJsonObject misspelled = sqliteConfig("/store.db");
    misspelled["database_type"] = "SQLite";
    QTest::newRow("disabled") << disabled << "[info] InitSQL - DISABLE!";
    QTest::newRow("type spelled SQLite")
        << misspelled << "[critical] InitSQL - ERROR! DataBase NOT Open!";
    QTest::newRow("file in a missing folder") << sqliteConfig("/no/such/folder/store.db")
                                              << "[critical] InitSQL - ERROR! DataBase NOT Open!";
}

void TestSqlStore::unopenedDatabaseLeavesTheGatewayInert()
{
    QFETCH(QJsonObject, config);
    QFETCH(QString, line);
    config["Tables"] = QJsonArray{TestTables::tagsTable()};
    Core c(config);
    c.core->InitSQL();
    QCOMPARE(c.log(), QStringList{line});
    QVERIFY(!c.core->m_checkTimer.isActive());
    QVERIFY(!c.core->m_sqlQuery);
    QVERIFY(!QFile::exists(appFile("/store.db")));
}

void TestSqlStore::sqlitePathIsGluedToTheApplicationDir()
{
    Core c(sqliteConfig("glued.db"));
    c.core->InitSQL();
    QCOMPARE(c.log(), QStringList{kOk});
    QCOMPARE(c.core->m_db.connectionName(), QStringLiteral("store"));
    QCOMPARE(c.core->m_db.databaseName(), appFile("glued.db"));
    QVERIFY(QFile::exists(appFile("glued.db")));
}

void TestSqlStore::tablesGetTheirExactTextAndRulesAreRefused()
{
    const QJsonArray tables{table("tags", "id"), table("events", QString())};
    const QStringList expectedTexts = {
        "CREATE TABLE events (id INTEGER  NOT NULL, key TEXT   )",
        "CREATE TABLE tags (id INTEGER  NOT NULL, key TEXT   ,PRIMARY KEY (id ))"};
    const QStringList expectedLog = kRefusedRules + kRefusedRules + QStringList{kOk};
    {
        Core c(sqliteConfig("/store.db", tables));
        c.core->InitSQL();
        QCOMPARE(c.log(), expectedLog);
        QCOMPARE(c.tableTexts(), expectedTexts);
        QVERIFY(c.core->m_checkTimer.isActive());
        QVERIFY(c.core->m_checkTimer.isSingleShot());
        QCOMPARE(c.core->m_checkTimer.interval(), 2000);
    }
    const QString console = g_messages.first();
    QVERIFY2(console.contains("InitSQL insert_tags_notf - ERROR! (internal_functions.cpp, ") &&
                 console.contains(", void cInternalFunctions::InitSQL())"),
             qPrintable(console));

    // A later start finds the tables in place and says nothing more about them.
    Core again(sqliteConfig("/store.db", tables));
    again.core->InitSQL();
    QCOMPARE(again.log(), expectedLog);
    QCOMPARE(again.tableTexts(), expectedTexts);
}

void TestSqlStore::developerStatementsReportOnDebugOutput()
{
    Core c(sqliteConfig("/store.db", {TestTables::tagsTable()}));
    c.core->InitSQL();
    g_messages.clear();

    const QString insert =
        "INSERT INTO tags(id, number, key, value, type, description, format) VALUES ";
    c.core->fillTagsTable(2);
    QCOMPARE(g_messages.last(), "OK \"" + insert +
                                    "(1,'1','tag1','1','w','desc','String'), "
                                    "(2,'2','tag2','2','w','desc','String');\"");
    QSqlQuery rows("SELECT * FROM tags ORDER BY id", c.core->m_db);
    QVERIFY(rows.last());
    QStringList fields;
    for (int i = 0; i < rows.record().count(); ++i)
        fields << rows.value(i).toString();
    QCOMPARE(fields, QStringList({"2", "2", "tag2", "2", "w", "desc", "String"}));
    rows.finish();

    c.core->fillTagsTable(0);
    QCOMPARE(g_messages.last(), "ERROR \"" + insert + "\"");
    c.core->clearTagsTable();
    QCOMPARE(g_messages.last(), QStringLiteral("OK \"DELETE FROM tags;\""));
    QSqlQuery count("SELECT COUNT(*) FROM tags", c.core->m_db);
    QVERIFY(count.next());
    QCOMPARE(count.value(0).toInt(), 0);
}

void TestSqlStore::modelCellsAreCentredAndBlack()
{
    Core c(sqliteConfig("/store.db", {TestTables::tagsTable()}));
    c.core->InitSQL();
    c.core->fillTagsTable(3);
    MySqlTableModelResult model(nullptr, c.core->m_db);
    QSqlTableModel plain(nullptr, c.core->m_db);
    for (QSqlTableModel *m : {static_cast<QSqlTableModel *>(&model), &plain}) {
        m->setTable("tags");
        QVERIFY(m->select());
    }
    QCOMPARE(model.rowCount(), 3);
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < model.columnCount(); ++column) {
            const QModelIndex index = model.index(row, column);
            QCOMPARE(model.data(index, Qt::TextAlignmentRole).toInt(), 0x84);
            QCOMPARE(model.data(index, Qt::ForegroundRole).value<QBrush>().color(),
                     QColor(Qt::black));
            QCOMPARE(model.data(index), plain.data(plain.index(row, column)));
        }
    }

    const QMetaObject *meta = model.metaObject();
    QVERIFY(meta->indexOfMethod("data(QModelIndex,int)") >= 0);
    QVERIFY(meta->indexOfMethod("data(QModelIndex)") >= 0);
    QVariant key;
    QVERIFY(QMetaObject::invokeMethod(&model, "data", Q_RETURN_ARG(QVariant, key),
                                      Q_ARG(QModelIndex, model.index(1, 2))));
    QCOMPARE(key.toString(), QStringLiteral("tag2"));
}

void TestSqlStore::odbcConnectionStringIsExact_data()
{
    QTest::addColumn<QStringList>("values"); // server, database, user, password
    QTest::addColumn<QString>("expected");
    QTest::newRow("all empty") << QStringList{"", "", "", ""}
                               << "DRIVER={SQL Server};SERVER=;DATABASE=;UID=;PWD=;WSID=.";
    QTest::newRow("empty password")
        << QStringList{"plant-sql\\SCADA", "plant.db", "sa", ""}
        << "DRIVER={SQL Server};SERVER=plant-sql\\SCADA;DATABASE=plant.db;UID=sa;PWD=;WSID=.";
    QTest::newRow("semicolon cannot add keywords")
        << QStringList{"srv;DATABASE=other.db", "plant.db", "sa", "pw;UID=admin"}
        << "DRIVER={SQL Server};SERVER={srv;DATABASE=other.db};DATABASE=plant.db;UID=sa;"
           "PWD={pw;UID=admin};WSID=.";
    QTest::newRow("braces are quoted")
        << QStringList{"srv", "plant.db", "{sa}", "p}w"}
        << "DRIVER={SQL Server};SERVER=srv;DATABASE=plant.db;UID={{sa}}};PWD={p}}w};WSID=.";
}

void TestSqlStore::odbcConnectionStringIsExact()
{
    QFETCH(QStringList, values);
    QFETCH(QString, expected);
    // A registered driver may create files named by these values: keep them here.
    QTemporaryDir workDir;
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(workDir.path());
    {
        Core c({{"sql_enable", true},
                {"database_type", "MSSQL"},
                {"database_path", values[0]},
                {"database_name", values[1]},
                {"database_user", values[2]},
                {"database_password", values[3]}});
        c.core->InitSQL();
        QCOMPARE(c.core->m_db.driverName(), QStringLiteral("QODBC"));
        QCOMPARE(c.core->m_db.connectionName(), QString(QSqlDatabase::defaultConnection));
        QCOMPARE(c.core->m_db.databaseName(), expected);
        QVERIFY(c.core->m_db.userName().isEmpty() && c.core->m_db.password().isEmpty());
    }
    QDir::setCurrent(previousDir);
}

void TestSqlStore::odbcDriverCreatesTheTables()
{
    if (qEnvironmentVariableIsEmpty("GATEWAY_TEST_ODBC"))
        QSKIP("GATEWAY_TEST_ODBC is not set: scripts/test.sh registers an ODBC driver as "
              "\"SQL Server\" for this test");
    QTemporaryDir dir;
    const QString file = dir.filePath("odbc.db");
    {
        Core c({{"sql_enable", true},
                {"database_type", "MSSQL"},
                {"database_path", "localhost"},
                {"database_name", file},
                {"database_user", "sa"},
                {"database_password", "secret"},
                {"Tables", QJsonArray{TestTables::tagsTable()}}});
        c.core->InitSQL();
        QVERIFY2(c.core->m_db.isOpen(), qPrintable(c.core->m_db.lastError().text()));
        QCOMPARE(c.log(), kRefusedRules + QStringList{kOk});
    }
    QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "reader");
    reader.setDatabaseName(file);
    QVERIFY(reader.open());
    QSqlQuery query("SELECT sql FROM sqlite_master WHERE name = 'tags'", reader);
    QVERIFY(query.next());
    QVERIFY(query.value(0).toString().startsWith("CREATE TABLE tags (id INTEGER  NOT NULL, "));
    query.finish();
    reader.close();
    reader = QSqlDatabase();
    QSqlDatabase::removeDatabase("reader");
}

QTEST_MAIN(TestSqlStore)
#include "tst_sqlstore.moc"
