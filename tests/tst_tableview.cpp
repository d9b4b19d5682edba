// The window's view of the tags table over a real SQLite file polled by the
// store, with a real client: geometry and columns, the cell editor and where
// its edits go, sorting and the developer panel.
#include "mainwindow.h"
#include "support/messageboxcatcher.h"
#include "support/syncfixture.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>

namespace
{

// Rows stored out of "number" order; the trigger stands for a database that
// refuses a write.
const char *const kSeed[] = {
    kCreateTags,
    "INSERT INTO tags VALUES (1, '3', 'Pump1', '20', 'w', 'Pump 1', 'Int32'), "
    "(2, '1', 'Valve1', '30', 'r', 'Valve 1', 'Boolean'), "
    "(3, '2', 'Flow', '10', 'w', 'Flow rate', 'Double')",
    "CREATE TRIGGER guard BEFORE UPDATE ON tags WHEN NEW.value = 'refused' "
    "BEGIN SELECT RAISE(ABORT, 'value refused by guard'); END",
};

} // namespace

class TestTableView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void viewHasItsGeometryColumnsOrderAndSorting();
    void onlyEditableColumnsOpenTheEditor();
    void editsGoToTheirRowAndReachClients();
    void refusedEditsAreReportedAndNotShown();
    void developerButtonsRunTheirStatements();
    void windowSaysWhenOpcUaIsNotServed();
    void modelKeepsOrderUnderBatches_data();
    void modelKeepsOrderUnderBatches();

private:
    QString column(int columnIndex) { return columnTexts(*m_model, columnIndex).join(','); }
    QString stored() { return storedValues(m_reader); }
    void clickCell(int row, int columnIndex);
    void apply(const QString &text);

    QSqlDatabase m_reader;
    quint16 m_port = 0;
    std::unique_ptr<MainWindow> m_window;
    QTableView *m_view = nullptr;
    MySqlTableModelResult *m_model = nullptr;
};

// Every test gets a database file and connection name of its own.
void TestTableView::init()
{
    static int counter = 0;
    const QString name = QStringLiteral("tableview%1").arg(++counter);
    m_reader = QSqlDatabase::addDatabase("QSQLITE", "reader");
    m_reader.setDatabaseName(QCoreApplication::applicationDirPath() + '/' + name + ".db");
    QFile::remove(m_reader.databaseName());
    QVERIFY(m_reader.open());
    for (const char *statement : kSeed)
        exec(m_reader, statement);

    QJsonObject config = sqliteConfig('/' + name + ".db");
    config["database_name"] = name;
    config["table_enable"] = true;
    config["sql_poll_interval_ms"] = 200;
    m_port = freeLoopbackPort();
    writeGatewaySettings(m_port, tagsFile(), config);
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_view = m_window->findChild<QTableView *>();
    QVERIFY(m_view);
    m_model = qobject_cast<MySqlTableModelResult *>(m_view->model());
    QVERIFY(m_model);
    QTRY_COMPARE(m_model->rowCount(), 3);
}

void TestTableView::cleanup()
{
    m_window.reset();
    m_reader.close();
    QFile::remove(m_reader.databaseName());
    m_reader = QSqlDatabase();
    QSqlDatabase::removeDatabase("reader");
}

void TestTableView::clickCell(int row, int columnIndex)
{
    const QRect cell = m_view->visualRect(m_model->index(row, columnIndex));
    QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, cell.center());
}

void TestTableView::apply(const QString &text)
{
    m_window->findChild<QLineEdit *>("txtEdit")->setText(text);
    QTest::mouseClick(m_window->findChild<QPushButton *>("btnApply"), Qt::LeftButton);
    QVERIFY(m_window->findChild<QFrame *>("frEdit")->isHidden());
}

// The view's place, size, columns and rows in "number" order; a header click
// sorts by its column, ascending also when clicked again, and a row whose
// cell in that column changes moves.
void TestTableView::viewHasItsGeometryColumnsOrderAndSorting()
{
    QCOMPARE(m_view->parentWidget(), m_window->findChild<QWidget *>("verticalLayoutWidget_2"));
    QCOMPARE(m_view->size(), QSize(1000, 260));
    QCOMPARE(m_view->minimumSize(), m_view->maximumSize());
    QHeaderView *header = m_view->horizontalHeader();
    QStringList headers;
    QList<int> widths;
    for (int section = 0; section < m_model->columnCount(); ++section) {
        headers << m_model->headerData(section, Qt::Horizontal).toString();
        widths << header->sectionSize(section);
    }
    QCOMPARE(headers,
             QStringList({"id", "number", "key", "value", "type", "description", "format"}));
    QCOMPARE(widths.mid(0, 6), QList<int>({90, 90, 135, 180, 45, 306}));
    QVERIFY(header->stretchLastSection() && widths.last() >= 54);
    QVERIFY(m_view->verticalHeader()->isHidden());
    QCOMPARE(m_view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(m_view->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(column(1), QStringLiteral("1,2,3"));
    for (int click = 0; click < 2; ++click) {
        const QPoint valueHeader(header->sectionViewportPosition(3) + 10, 5);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, valueHeader);
        QCOMPARE(column(3), QStringLiteral("10,20,30"));
    }
    exec(m_reader, "UPDATE tags SET value = '25' WHERE id = 3");
    QTRY_COMPARE(column(3), QStringLiteral("20,25,30"));
}

void TestTableView::onlyEditableColumnsOpenTheEditor()
{
    auto *frame = m_window->findChild<QFrame *>("frEdit");
    auto *edit = m_window->findChild<QLineEdit *>("txtEdit");
    for (int readOnly : {0, 2, 4}) {
        clickCell(0, readOnly);
        QCOMPARE(m_view->currentIndex().column(), readOnly);
        QVERIFY2(frame->isHidden(), qPrintable(QString::number(readOnly)));
    }
    for (int editable : {1, 3, 5, 6}) {
        clickCell(1, editable);
        QVERIFY(frame->isVisible());
        QCOMPARE(edit->text(), m_model->index(1, editable).data().toString());
        QVERIFY(!m_view->viewport()->findChild<QLineEdit *>()); // never edited in place
    }
}

// The edit lands in the row the frame was opened on even when a row came in
// before it and the view was re-sorted meanwhile, and reaches a subscribed client without
// notifications; a client's value shows in the view.
void TestTableView::editsGoToTheirRowAndReachClients()
{
    TestClient client;
    QCOMPARE(client.connect(m_port), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(client.readValue(QUaNodeId(0, "Flow")), QVariant(10.0)); // the first load
    ValueWatcher watcher(client, QUaNodeId(0, "Flow"));

    clickCell(0, 3); // row "number" 1 is id 2
    exec(m_reader, "INSERT INTO tags VALUES (4, '0', 'New', '1', 'w', '', 'Int32')");
    QTRY_COMPARE(m_model->idOfRow(0), qint64(4));
    QTest::mouseClick(m_view->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(m_model->idOfRow(0), qint64(1));
    apply("31");
    QTRY_COMPARE(stored(), QStringLiteral("20,31,10,1"));
    QTRY_COMPARE(m_model->index(1, 3).data().toString(), QStringLiteral("31"));

    clickCell(2, 3); // id 3
    apply("10.5");
    QVERIFY(watcher.waitFor(10.5));
    QCOMPARE(stored(), QStringLiteral("20,31,10.5,1"));

    QCOMPARE(client.writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(m_model->index(0, 3).data().toString(), QStringLiteral("7"));
}

// An edit of a row deleted meanwhile is refused with a dialog; one that the
// database refuses is logged, and the view keeps the stored value.
void TestTableView::refusedEditsAreReportedAndNotShown()
{
    MessageBoxCatcher catcher;
    clickCell(0, 3); // id 2
    exec(m_reader, "DELETE FROM tags WHERE id = 2");
    QTRY_COMPARE(m_model->rowCount(), 2);
    apply("31");
    QTRY_COMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes.first().informativeText, QStringLiteral("Строка удалена из таблицы."));
    QCOMPARE(column(3), QStringLiteral("10,20"));

    auto *log = qobject_cast<LogModel *>(m_window->findChild<QListView *>("logView")->model());
    clickCell(1, 3); // id 1
    apply("refused");
    const QString refused = "[critical] SQL write-back refused: value refused by guard";
    QTRY_COMPARE(logLines(*log).filter(refused).size(), 1);
    QCOMPARE(stored(), QStringLiteral("20,10"));
    QCOMPARE(column(3), QStringLiteral("10,20"));
}

void TestTableView::developerButtonsRunTheirStatements()
{
    QVERIFY(m_window->findChild<QFrame *>("frDebug_SQL")->isHidden());
    m_window->findChild<QPushButton *>("pushButton")->click();
    QTRY_COMPARE(stored(), QString());
    m_window->findChild<QSpinBox *>("spinBox")->setValue(5);
    m_window->findChild<QPushButton *>("pushButton_2")->click();
    QTRY_COMPARE(stored(), QStringLiteral("1,2,3,4,5"));
}

void TestTableView::windowSaysWhenOpcUaIsNotServed()
{
    QVERIFY(!m_window->windowTitle().contains("OPC UA"));
    m_window.reset();
    TestSettings::write("settings.json", R"({"opcua_port": 70000,
        "Console": {"OutputEnable": true}, "Window": {"OutputEnable": true}})");
    MainWindow window;
    QVERIFY(window.windowTitle().endsWith(" — OPC UA не обслуживается!"));
    QCOMPARE(window.findChild<QLabel *>("lblText_2")->text(),
             QStringLiteral("Отладочная информация: OPC UA не обслуживается!"));
    auto *log = qobject_cast<LogModel *>(window.findChild<QListView *>("logView")->model());
    QVERIFY(!logLines(*log).filter("OPC UA NOT started: \"opcua_port\" 70000").isEmpty());
}

// A batch moves "moved" rows to new "number" texts (the first of them once
// more to a later text), adds "added" rows and changes the value of the
// others; the rows end in ("number", id) order with their last texts, and a
// persistent index stays on its row unless many rows came (the view is reset).
void TestTableView::modelKeepsOrderUnderBatches_data()
{
    QTest::addColumn<int>("moved");
    QTest::addColumn<int>("added");
    QTest::addColumn<bool>("reset");
    QTest::newRow("values only") << 0 << 0 << false;
    QTest::newRow("a few move") << 3 << 0 << false;
    QTest::newRow("a few move, a few added") << 2 << 2 << false;
    QTest::newRow("many move") << 150 << 0 << false;
    QTest::newRow("many move, many added") << 100 << 100 << true;
}

void TestTableView::modelKeepsOrderUnderBatches()
{
    QFETCH(int, moved);
    QFETCH(int, added);
    MySqlTableModelResult model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.sort(kNumberColumn);
    QMap<qint64, TagRow> expected;
    TagRows rows;
    for (int id = 1; id <= 300; ++id) {
        TagRow row;
        row.id = id;
        row.number = QString::number(id % 37);
        row.value = "old";
        rows << row;
        expected.insert(id, row);
    }
    model.applyRows(rows);
    const QPersistentModelIndex kept = model.index(model.rowOfId(7), kValueColumn);

    TagRows batch;
    for (int id = 1; id <= 300 + added; ++id) {
        TagRow row = expected.value(id);
        row.id = id;
        row.value = "new" + QString::number(id);
        if (id <= moved || id > 300)
            row.number = QString::number(id * 7919 % 101);
        batch << row;
    }
    if (moved > 0) {
        batch[0].number = "zz";
        batch << batch[0];
        batch[0].number = "a";
    }
    for (const TagRow &row : qAsConst(batch))
        expected.insert(row.id, row);
    model.applyRows(batch);

    TagRows order = expected.values().toVector();
    std::sort(order.begin(), order.end(), [](const TagRow &a, const TagRow &b) {
        return a.number != b.number ? a.number < b.number : a.id < b.id;
    });
    QCOMPARE(model.rowCount(), order.size());
    for (int row = 0; row < order.size(); ++row) {
        QCOMPARE(model.idOfRow(row), order[row].id);
        QCOMPARE(model.rowOfId(order[row].id), row);
        QCOMPARE(model.index(row, kNumberColumn).data().toString(), order[row].number);
        QCOMPARE(model.index(row, kValueColumn).data().toString(), order[row].value);
    }
    QFETCH(bool, reset);
    QCOMPARE(kept.isValid(), !reset);
    if (!reset)
        QCOMPARE(model.idOfRow(kept.row()), qint64(7));
}

QTEST_MAIN(TestTableView)
#include "tst_tableview.moc"
