// The SQL store on a real PostgreSQL server: connection, the notification rules,
// and notifications reaching the gateway core with their payloads, whoever
// changed the row. The server
// comes from scripts/test.sh through the GATEWAY_TEST_PG_* variables; this test
// works in a database of its own.
#include "internal_functions.h"
#include "mysqltablemodelresult.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QtTest>

#include "support/pgtestdb.h"
#include "support/tagstable.h"
#include <memory>

#include "support/settingsdir.h" // needs QCoreApplication, which QtTest brings

namespace
{

QStringList g_criticalLines;

void captureCriticals(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg)
        g_criticalLines << text;
}

using TestPostgres::connectTo;
using TestPostgres::env;

} // namespace

class TestSqlPostgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init()
    {
        g_criticalLines.clear();
        qInstallMessageHandler(captureCriticals);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void rulesAreAcceptedAndNotifyTheCore();

private:
    std::unique_ptr<cInternalFunctions> makeCore();
    QString m_database;
};

void TestSqlPostgres::initTestCase()
{
    if (!TestPostgres::configured())
        QSKIP(TestPostgres::kNotConfigured);
    const QString error = TestPostgres::createOwnDatabase("gateway_test", m_database);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    TestSettings::clear();
    TestSettings::write("settings.json", R"({"Console": {"OutputEnable": true}})");
    TestSettings::write("sql.json", "{}");
    TestSettings::write("tags.json", "{}");
}

void TestSqlPostgres::cleanupTestCase()
{
    TestPostgres::dropOwnDatabase(m_database);
}

std::unique_ptr<cInternalFunctions> TestSqlPostgres::makeCore()
{
    bool loaded = false;
    auto core = std::make_unique<cInternalFunctions>(nullptr, &loaded);
    core->m_sqlConfig = TestPostgres::sqlConfig(m_database);
    return core;
}

void TestSqlPostgres::rulesAreAcceptedAndNotifyTheCore()
{
    {
        auto core = makeCore();
        core->InitSQL();
        QVERIFY2(core->m_db.isOpen(), qPrintable(core->m_db.lastError().text()));
        QVERIFY2(g_criticalLines.isEmpty(), qPrintable(g_criticalLines.join('\n')));
        QVERIFY(core->m_checkTimer.isActive());

        QSqlDatabase writer = connectTo("writer", m_database);
        QSqlQuery rules("SELECT rulename FROM pg_rules WHERE tablename = 'tags' ORDER BY 1",
                        writer);
        QStringList ruleNames;
        while (rules.next())
            ruleNames << rules.value(0).toString();
        QCOMPARE(ruleNames,
                 QStringList({"some_notify_rule1", "some_notify_rule2", "some_notify_rule3"}));

        // Each change made elsewhere arrives on its channel with its payload.
        const auto pending = [&core] {
            return core->m_pendingNotification + '|' + core->m_pendingPayload;
        };
        QSqlQuery change(writer);
        QVERIFY(change.exec("INSERT INTO tags VALUES (7, '7', 'Pump7', '5', 'w', '', 'Int32')"));
        QTRY_COMPARE(pending(), QStringLiteral("insert_tags_notf|7"));
        QVERIFY(change.exec("UPDATE tags SET value = '6' WHERE id = 7"));
        QTRY_COMPARE(pending(), QStringLiteral("update_tags_notf|7"));
        QVERIFY(change.exec("DELETE FROM tags WHERE id = 7"));
        QTRY_COMPARE(pending(), QStringLiteral("delete_tags_notf|deleted"));

        // The developer statements fire the same rules.
        core->fillTagsTable(3);
        QTRY_COMPARE(pending(), QStringLiteral("insert_tags_notf|3"));

        // The window's model writes through the rules as well.
        MySqlTableModelResult model(nullptr, core->m_db);
        model.setTable("tags");
        model.setEditStrategy(QSqlTableModel::OnManualSubmit);
        model.sort(1, Qt::AscendingOrder);
        QVERIFY(model.setData(model.index(1, 3), "42"));
        QVERIFY2(model.submitAll(), qPrintable(model.lastError().text()));
        QTRY_COMPARE(pending(), QStringLiteral("update_tags_notf|2"));
        QVERIFY(change.exec("SELECT value FROM tags WHERE id = 2") && change.next());
        QCOMPARE(change.value(0).toString(), QStringLiteral("42"));
        core->clearTagsTable();
        QTRY_COMPARE(pending(), QStringLiteral("delete_tags_notf|deleted"));
        change.finish();
        rules.finish();
        writer.close();
    }
    QSqlDatabase::removeDatabase("writer");
    QSqlDatabase::removeDatabase(m_database);
}

QTEST_MAIN(TestSqlPostgres)
#include "tst_sql_postgres.moc"
