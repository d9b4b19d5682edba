// The core's lookups by tag name, by row key and by row id stay true to the
// table and the address space while rows come and go, the view re-sorts the
// model, keys repeat, an operator edits a key, and clients delete tags.
#include "tst_sync_fixture.h"

using namespace SyncFixture;

namespace
{

QString row(int id, const QString &number, const QString &key, const QString &value)
{
    return QStringLiteral("(%1, '%2', '%3', '%4', 'w', 'd', 'Int32')")
        .arg(id)
        .arg(number, key, value);
}

const int kKeyColumn = 2;
const int kValueColumn = 3;

} // namespace

class TestSyncIndex : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ConsoleCapture::install(); }
    void init();
    void cleanup();

    void clientWritesReachEveryRowOfTheKeyInAnyOrder();
    void rowsAddedAndRemovedElsewhereAreFound();
    void keyEditedInTheWindowMovesTheRow();
    void clientWriteReadsBackOnlyItsRows();
    void refusedRowEndsTheWrite();
    void tagsDeletedByAClientLeaveTheLookup();

private:
    QString stored(int id) { return storedValue(m_writer, id); }
    // The value column as the view shows it, in the view's order.
    QStringList shownValues()
    {
        QStringList values;
        for (int r = 0; r < model().rowCount(); ++r)
            values << model().index(r, kValueColumn).data().toString();
        return values;
    }
    QStringList opcLines() const { return m_gateway->log().filter("(OPC)"); }
    cInternalFunctions &core() { return *m_gateway->core; }
    MySqlTableModelResult &model() { return *m_gateway->model; }

    QString m_file;
    QSqlDatabase m_writer;
    std::unique_ptr<SyncGateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

// Two rows share the key Pump1; the numbers put the rows in another order than
// their ids.
void TestSyncIndex::init()
{
    m_file = QCoreApplication::applicationDirPath() + "/index.db";
    QFile::remove(m_file);
    m_writer = QSqlDatabase::addDatabase("QSQLITE", "writer");
    m_writer.setDatabaseName(m_file);
    m_writer.open();
    exec(m_writer, kCreateTags);
    exec(m_writer, "INSERT INTO tags VALUES " + QStringList{row(1, "30", "Pump1", "1"),
                                                            row(2, "10", "Level", "2"),
                                                            row(3, "20", "Pump1", "3")}
                                                    .join(", "));
    const QJsonObject config{{"sql_enable", true},
                             {"database_type", "SQLLITE"},
                             {"database_name", "gateway"},
                             {"database_localpath", "/index.db"},
                             {"Tables", tagsTables()}};
    m_gateway = std::make_unique<SyncGateway>(config, tagsFile());
    QVERIFY(m_gateway->core->m_db.isOpen());
    m_client = std::make_unique<TestClient>();
    QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
    m_gateway->loadNow();
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Level", "Pump1"}));
}

void TestSyncIndex::cleanup()
{
    m_client.reset();
    m_gateway.reset();
    m_writer.close();
    m_writer = QSqlDatabase();
    QSqlDatabase::removeDatabase("writer");
    QFile::remove(m_file);
}

void TestSyncIndex::clientWritesReachEveryRowOfTheKeyInAnyOrder()
{
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(opcLines(), (QStringList{"[info] Changed Tag[Pump1]=7 (OPC)",
                                      "[info] Changed Tag[Pump1]=7 (OPC)"}));
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"7", "2", "7"}));

    // The header click puts the rows in another order; the lookups follow it.
    for (const Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
        model().sort(kValueColumn, order);
        const int value = order == Qt::DescendingOrder ? 8 : 9;
        QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), value), UA_STATUSCODE_GOOD);
        QCOMPARE((QStringList{stored(1), stored(2), stored(3)}),
                 (QStringList{QString::number(value), "2", QString::number(value)}));
    }
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Level"), 4), UA_STATUSCODE_GOOD);
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"9", "4", "9"}));

    // A notified id reads its own row whatever the order.
    exec(m_writer, "UPDATE tags SET value = '11' WHERE id = 2");
    model().sort(kKeyColumn, Qt::DescendingOrder);
    core().loadTagRow(2);
    QCOMPARE(m_gateway->tagValue("Level"), QVariant(11));
    QCOMPARE(m_gateway->log().last(),
             QStringLiteral("[info] Changed Tag[Level]=11, Format=Int32 (SQL)"));
}

void TestSyncIndex::rowsAddedAndRemovedElsewhereAreFound()
{
    exec(m_writer, "DELETE FROM tags WHERE id = 2");
    exec(m_writer, "INSERT INTO tags VALUES " + row(4, "15", "Flow", "5") + ", " +
                       row(5, "05", "Pump1", "6"));
    model().select();

    core().loadTagRow(4);
    QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Added SQL TAG: Flow"));
    core().loadTagRow(2);
    QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Added SQL TAG: Flow"));

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Flow"), 12), UA_STATUSCODE_GOOD);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 13), UA_STATUSCODE_GOOD);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Level"), 14), UA_STATUSCODE_GOOD);
    QCOMPARE(
        opcLines(),
        (QStringList{"[info] Changed Tag[Flow]=12 (OPC)", "[info] Changed Tag[Pump1]=13 (OPC)",
                     "[info] Changed Tag[Pump1]=13 (OPC)", "[info] Changed Tag[Pump1]=13 (OPC)"}));
    QCOMPARE((QStringList{stored(1), stored(2), stored(3), stored(4), stored(5)}),
             (QStringList{"13", "<no row>", "13", "12", "13"}));
}

// An edit not yet submitted counts as the row's key, as the window shows it.
void TestSyncIndex::keyEditedInTheWindowMovesTheRow()
{
    QModelIndex pumpCell;
    for (int r = 0; r < model().rowCount(); ++r)
        if (model().index(r, 0).data().toInt() == 3)
            pumpCell = model().index(r, kKeyColumn);
    QVERIFY(model().setData(pumpCell, "Level", Qt::EditRole));

    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Level"), 21), UA_STATUSCODE_GOOD);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 22), UA_STATUSCODE_GOOD);
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"22", "21", "21"}));
    QCOMPARE(opcLines(), (QStringList{"[info] Changed Tag[Level]=21 (OPC)",
                                      "[info] Changed Tag[Level]=21 (OPC)",
                                      "[info] Changed Tag[Pump1]=22 (OPC)"}));
}

void TestSyncIndex::tagsDeletedByAClientLeaveTheLookup()
{
    QCOMPARE(m_client->deleteNode(QUaNodeId(0, "Pump1")), UA_STATUSCODE_GOOD);
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant("<no tag>"));
    QCOMPARE(m_gateway->tagNames(), QStringList{"Level"});

    // A tag whose object goes without being looked up leaves the list as well.
    QCOMPARE(m_client->deleteNode(QUaNodeId(0, "Level")), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(!core().m_folderSub->hasChild(QUaQualifiedName("Level")));
    QTRY_VERIFY(!core().m_folderSub->hasChild(QUaQualifiedName("Pump1")));
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant("<no tag>"));
    QCOMPARE(core().m_tags.count(), 0);

    // The rows make the tags again, and the new ones are found; the last row
    // of the key in the view's order gives the value.
    core().reloadAllTags();
    QCOMPARE(m_gateway->log().filter("Added SQL TAG: Pump1").count(), 2);
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Level", "Pump1"}));
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(1));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 31), UA_STATUSCODE_GOOD);
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"31", "2", "31"}));
}

// Rows in the order of "number": Level (id 2), Pump1 (id 3), Pump1 (id 1).
void TestSyncIndex::clientWriteReadsBackOnlyItsRows()
{
    QSignalSpy resets(&model(), &QAbstractItemModel::modelReset);
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    QCOMPARE(shownValues(), (QStringList{"2", "7", "7"}));
    QCOMPARE(resets.count(), 0);
    QVERIFY(!model().isDirty());

    // Ordered by value, the written rows move to their places.
    model().sort(kValueColumn, Qt::AscendingOrder);
    QCOMPARE(shownValues(), (QStringList{"2", "7", "7"}));
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 1), UA_STATUSCODE_GOOD);
    QCOMPARE(shownValues(), (QStringList{"1", "1", "2"}));
    QCOMPARE(resets.count(), 2);
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"1", "2", "1"}));
}

void TestSyncIndex::refusedRowEndsTheWrite()
{
    exec(m_writer, "CREATE TRIGGER locked BEFORE UPDATE ON tags WHEN NEW.id = 3 "
                   "BEGIN SELECT RAISE(ABORT, 'row 3 is locked'); END");
    QCOMPARE(m_client->writeValue(QUaNodeId(0, "Pump1"), 7), UA_STATUSCODE_GOOD);
    const QStringList log = m_gateway->log().mid(m_gateway->log().count() - 3);
    QCOMPARE(log.mid(0, 2), (QStringList{"[info] Changed Tag[Pump1]=7 (OPC)",
                                         "[info] Changed Tag[Pump1]=7 (OPC)"}));
    QVERIFY2(log.last().startsWith("[critical] ERROR SQL Write: TagName= Pump1, ") &&
                 log.last().contains("row 3 is locked"),
             qPrintable(log.last()));
    // The row after the refused one is not written either; the view shows
    // what the table holds.
    QCOMPARE((QStringList{stored(1), stored(2), stored(3)}), (QStringList{"1", "2", "3"}));
    QCOMPARE(shownValues(), (QStringList{"2", "3", "1"}));
    QVERIFY(!model().isDirty());
    QCOMPARE(m_gateway->tagValue("Pump1"), QVariant(7));
}

QTEST_MAIN(TestSyncIndex)
#include "tst_sync_index.moc"
