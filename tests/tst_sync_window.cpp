// The whole program in its window on PostgreSQL: a value a client writes
// appears in the window's table, and a row the operator edits there (ПРИМЕНИТЬ)
// reaches a subscribed client. The server comes from scripts/test.sh through
// the GATEWAY_TEST_PG_* variables; this test works in a database of its own.
#include "mainwindow.h"
#include "support/pgtestdb.h"
#include "tst_sync_fixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

using namespace SyncFixture;

namespace
{

using TestPostgres::connectTo;
using TestPostgres::env;

} // namespace

class TestSyncWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void valuesMoveBetweenClientAndWindow();

private:
    QString m_database;
};

void TestSyncWindow::initTestCase()
{
    if (!TestPostgres::configured())
        QSKIP(TestPostgres::kNotConfigured);
    const QString error = TestPostgres::createOwnDatabase("gateway_window", m_database);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestSyncWindow::cleanupTestCase()
{
    TestPostgres::dropOwnDatabase(m_database);
}

void TestSyncWindow::valuesMoveBetweenClientAndWindow()
{
    QSqlDatabase writer = connectTo("writer", m_database);
    exec(writer, kCreateTags);
    exec(writer, "INSERT INTO tags VALUES (1, '1', 'Pump1', '5', 'w', 'Pump 1', 'Int32'), "
                 "(2, '2', 'Level', '1', 'w', 'Level', 'Int32')");
    const quint16 port = freeLoopbackPort();
    TestSettings::clear();
    TestSettings::write("settings.json",
                        QStringLiteral(R"({"opcua_port": %1, "opcua_AnonymousLoginAllowed": true,
                            "Window": {"OutputEnable": true}})")
                            .arg(port)
                            .toUtf8());
    TestSettings::write("sql.json", jsonText(TestPostgres::sqlConfig(m_database)));
    TestSettings::write("tags.json", tagsFile());

    // The window's gateway is never torn down, like the program's.
    MainWindow window;
    window.show();
    auto *model = window.findChild<MySqlTableModelResult *>();
    auto *view = window.findChild<QTableView *>();
    QVERIFY(model && view);
    TestClient client;
    QCOMPARE(client.connect(port), UA_STATUSCODE_GOOD);
    QTRY_COMPARE_WITH_TIMEOUT(client.readValue(QUaNodeId(0, "Level")), QVariant(1), 4000);

    QCOMPARE(client.writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(model->data(model->index(0, 3)).toString(), QStringLiteral("7"));
    QCOMPARE(storedValue(writer, 1), QStringLiteral("7"));

    ValueWatcher watcher(client, QUaNodeId(0, "Level"));
    QVERIFY(watcher.waitFor(1));
    const QModelIndex levelValue = model->index(1, 3);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(levelValue).center());
    auto *edit = window.findChild<QLineEdit *>("txtEdit");
    QCOMPARE(edit->text(), QStringLiteral("1"));
    edit->setText("9");
    QTest::mouseClick(window.findChild<QPushButton *>("btnApply"), Qt::LeftButton);
    QVERIFY(watcher.waitFor(9));
    QCOMPARE(storedValue(writer, 2), QStringLiteral("9"));
    QCOMPARE(client.readValue(QUaNodeId(0, "Pump1")), QVariant(7));
    writer.close();
}

QTEST_MAIN(TestSyncWindow)
#include "tst_sync_window.moc"
