// Tags after the start: records built from SQL rows create or update tag
// variables, and tags a client deletes leave the gateway's list.
#include "support/gatewayfixture.h"

#include <functional>

namespace
{

const quint32 kTagsObjectId = 63001;

// Two tags share the name part "Pump1"; the one in namespace 0 comes first.
const QByteArray kTagsFile = R"({
    "FolderMain": {"FolderName": "Gateway", "NodeId": 63000},
    "FolderSub": {"FolderName": "Tags", "NodeId": 63001},
    "PreloadTags": true,
    "Tags": [
        {"TagName": "Pump1", "NodeId": "Pump1", "Format": "Int32", "Value": 0,
         "WriteAccess": true, "Description": "Pump 1 speed step"},
        {"TagName": "ns=1;s=Pump1", "NodeId": "Pump1.spare", "Format": "Int32", "Value": 100,
         "WriteAccess": false, "Description": "spare"},
        {"TagName": "Level", "NodeId": "Level", "Format": "Double", "Value": 1.5,
         "WriteAccess": false, "Description": "level"}]})";

// A record as a row of the tags table gives it: every field text but the flag,
// the key as node id.
QJsonObject sqlRecord(const QString &name, const QString &value, const QString &format,
                      bool writeAccess = true, const QString &description = QString())
{
    return {{"TagName", name},
            {"NodeId", name},
            {"Value", value},
            {"Format", format},
            {"WriteAccess", writeAccess},
            {"Description", description}};
}

QVariant valueOf(cInternalFunctions &core, const QString &name)
{
    QVariant value(QStringLiteral("untouched"));
    core.findTagValue(name, value);
    return value;
}

// Runs a check once, when the watched object is about to be deleted later:
// its node has left the address space already, the object is still there.
class BeforeDeferredDeletion : public QObject
{
public:
    BeforeDeferredDeletion(QObject *watched, std::function<void()> check) : m_check(check)
    {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::DeferredDelete && m_check)
            std::exchange(m_check, {})();
        return false;
    }

private:
    std::function<void()> m_check;
};

} // namespace

class TestGatewayTags : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ConsoleCapture::install(); }
    void init()
    {
        m_gateway = std::make_unique<Gateway>(kTagsFile);
        m_client = std::make_unique<TestClient>();
        QCOMPARE(m_client->connect(m_gateway->port), UA_STATUSCODE_GOOD);
    }
    void cleanup()
    {
        m_client.reset();
        m_gateway.reset();
    }

    void recordOfAKnownTagOnlyUpdatesItsValue();
    void newRecordsBecomeTags_data();
    void newRecordsBecomeTags();
    void refusedRecordsAreLoggedAndNotListed();
    void setTagValueReportsEachCase();
    void tagDeletedByAClientLeavesTheList();
    void deletedTagsObjectIsNoLongerUsed();

private:
    cInternalFunctions &core() { return *m_gateway->core; }
    QStringList tagsObjectChildren()
    {
        return childNames(*m_client, QUaNodeId(0, kTagsObjectId), UA_NS0ID_HASCOMPONENT);
    }

    std::unique_ptr<Gateway> m_gateway;
    std::unique_ptr<TestClient> m_client;
};

void TestGatewayTags::recordOfAKnownTagOnlyUpdatesItsValue()
{
    const QStringList children = tagsObjectChildren();
    const QStringList tags = m_gateway->tagNames();
    const QUaNodeId pump1(0, "Pump1");

    QVERIFY(core().createNewTag(sqlRecord("Pump1", "7", "Int32", false, "other")));
    QCOMPARE(m_gateway->log().last(),
             QStringLiteral("[info] Changed Tag[Pump1]=7, Format=Int32 (SQL)"));
    QCOMPARE(m_client->readValue(pump1), QVariant(7));
    QCOMPARE(dataTypeOf(*m_client, pump1), QUaNodeId(0, UA_NS0ID_INT32));
    // Only the value: access and description stay as the file made them.
    QVERIFY(m_client->readAttribute(pump1, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
            UA_ACCESSLEVELMASK_WRITE);
    QCOMPARE(
        m_client->readAttribute(pump1, UA_ATTRIBUTEID_DESCRIPTION).value<QUaLocalizedText>().text(),
        QStringLiteral("Pump 1 speed step"));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1.spare")), QVariant(100));
    QCOMPARE(tagsObjectChildren(), children);
    QCOMPARE(m_gateway->tagNames(), tags);

    // The same text again equals the Int32 value: nothing is written.
    const int lines = m_gateway->log().count();
    QVERIFY(!core().createNewTag(sqlRecord("Pump1", "7", "Int32")));
    QCOMPARE(m_gateway->log().count(), lines);
    QCOMPARE(valueOf(core(), "Pump1"), QVariant(7));
    QCOMPARE(valueOf(core(), "Pump2"), QVariant(QStringLiteral("untouched")));
}

void TestGatewayTags::newRecordsBecomeTags_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint32>("dataType");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("Boolean") << "Boolean"
                             << "true" << quint32(UA_NS0ID_BOOLEAN) << QVariant(true);
    QTest::newRow("Int64") << "Int64"
                           << "9000000001" << quint32(UA_NS0ID_INT64)
                           << QVariant(qint64(9000000001));
    QTest::newRow("Double") << "Double"
                            << "2.5" << quint32(UA_NS0ID_DOUBLE) << QVariant(2.5);
    QTest::newRow("String") << "String"
                            << "hello" << quint32(UA_NS0ID_STRING)
                            << QVariant(QStringLiteral("hello"));
    QTest::newRow("DateTime") << "DateTime"
                              << "2026-02-01T10:00:00Z" << quint32(UA_NS0ID_DATETIME)
                              << QVariant(QDateTime(QDate(2026, 2, 1), QTime(10, 0), Qt::UTC));
}

void TestGatewayTags::newRecordsBecomeTags()
{
    QFETCH(QString, format);
    QFETCH(QString, text);
    QFETCH(quint32, dataType);
    QFETCH(QVariant, value);
    const QString name = "New" + format;
    const QUaNodeId id(0, name);

    // Creating is not an update: the result is false.
    QVERIFY(!core().createNewTag(sqlRecord(name, text, format, true, "from SQL")));
    QCOMPARE(m_gateway->log().last(), "[info] Added SQL TAG: " + name);
    QCOMPARE(m_gateway->tagNames().last(), name);
    QCOMPARE(tagsObjectChildren().last(), name);
    QCOMPARE(dataTypeOf(*m_client, id), QUaNodeId(0, dataType));
    QCOMPARE(m_client->readValue(id), value);
    QCOMPARE(m_client->readAttribute(id, UA_ATTRIBUTEID_VALUERANK).toInt(), -1);
    QVERIFY(m_client->readAttribute(id, UA_ATTRIBUTEID_ACCESSLEVEL).toUInt() &
            UA_ACCESSLEVELMASK_WRITE);
    QCOMPARE(
        m_client->readAttribute(id, UA_ATTRIBUTEID_DESCRIPTION).value<QUaLocalizedText>().text(),
        QStringLiteral("from SQL"));
    QCOMPARE(valueOf(core(), name), value);
}

void TestGatewayTags::refusedRecordsAreLoggedAndNotListed()
{
    const QStringList tags = m_gateway->tagNames();
    const int lines = m_gateway->log().count();
    ConsoleCapture::take();

    QJsonObject noAccess = sqlRecord("NoAccess", "1", "Int32");
    noAccess.remove("WriteAccess");
    QVERIFY(!core().createNewTag(noAccess));
    QVERIFY(!core().createNewTag(sqlRecord("", "1", "Int32")));
    QVERIFY(!core().createNewTag(sqlRecord("Texty", "1", "Text")));
    // A key that is another tag's node id: the node id is in use.
    QJsonObject stolenId = sqlRecord("Pump9", "1", "Int32");
    stolenId["NodeId"] = "Level";
    QVERIFY(!core().createNewTag(stolenId));

    QCOMPARE(m_gateway->log().mid(lines),
             (QStringList{"[critical] ERROR New: TagName= NoAccess",
                          "[critical] ERROR Conversion Type for TAG: Texty",
                          "[critical] ERROR Not created: TagName= Pump9, NodeId= ns=0;s=Level"}));
    QCOMPARE(m_gateway->tagNames(), tags);
    QCOMPARE(valueOf(core(), "Pump9"), QVariant(QStringLiteral("untouched")));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant(1.5));
    const QStringList console = ConsoleCapture::take();
    QCOMPARE(console.filter("bool cInternalFunctions::createNewTag(const QJsonObject&))").count(),
             3);
}

void TestGatewayTags::setTagValueReportsEachCase()
{
    const int lines = m_gateway->log().count();
    QVERIFY(!core().setTagValue({{"TagName", "Pump1"}, {"Format", "Int32"}}));
    QVERIFY(!core().setTagValue({{"TagName", "Pump2"}, {"Format", "Int32"}, {"Value", "1"}}));
    QVERIFY(core().setTagValue({{"TagName", "Pump1"}, {"Format", "Text"}, {"Value", "1"}}));
    QCOMPARE(m_gateway->log().mid(lines),
             (QStringList{"[critical] ERROR Write: TagName= Pump1",
                          "[critical] ERROR Conversion Type for TAG: Pump1"}));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(0));

    // A value equal under the old type changes nothing, the type included.
    QVERIFY(!core().updateTagIfChanged("Level", "1.5", "Int32"));
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Level")), QUaNodeId(0, UA_NS0ID_DOUBLE));
    // A new value takes the record's type first.
    QVERIFY(core().updateTagIfChanged("Pump1", "5.5", "Double"));
    QCOMPARE(m_gateway->log().last(),
             QStringLiteral("[info] Changed Tag[Pump1]=5.5, Format=Double (SQL)"));
    QCOMPARE(dataTypeOf(*m_client, QUaNodeId(0, "Pump1")), QUaNodeId(0, UA_NS0ID_DOUBLE));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(5.5));
}

// The gateway refuses clients' DeleteNodes; with them allowed (as a program
// built on the core may), the node's object goes with the node.
void TestGatewayTags::tagDeletedByAClientLeavesTheList()
{
    core().m_opcServer->setNodeManagementAllowed(true);
    // From the moment the node is gone, before its object goes, the next tag
    // of that name part is found instead.
    QVariant seenBeforeDeletion;
    BeforeDeferredDeletion watch(core().m_tags.first(),
                                 [&] { seenBeforeDeletion = valueOf(core(), "Pump1"); });
    QCOMPARE(m_client->deleteNode(QUaNodeId(0, "Pump1")), UA_STATUSCODE_GOOD);
    QTRY_COMPARE(seenBeforeDeletion, QVariant(100));
    QCOMPARE(valueOf(core(), "Pump1"), QVariant(100));
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Pump1", "Level"}));
    QCOMPARE(m_client->deleteNode(QUaNodeId(0, "Pump1.spare")), UA_STATUSCODE_GOOD);
    QCOMPARE(valueOf(core(), "Pump1"), QVariant(QStringLiteral("untouched")));
    QVERIFY(!core().setTagValue({{"TagName", "Pump1"}, {"Format", "Int32"}, {"Value", "1"}}));
    QTRY_VERIFY(!core().m_folderSub->hasChild(QUaQualifiedName("Pump1")));

    // A later load of the row makes the tag again.
    QVERIFY(!core().createNewTag(sqlRecord("Pump1", "3", "Int32")));
    QCOMPARE(m_gateway->log().last(), QStringLiteral("[info] Added SQL TAG: Pump1"));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Pump1")), QVariant(3));
    QCOMPARE(valueOf(core(), "Pump1"), QVariant(3));
    QCOMPARE(m_gateway->tagNames(), (QStringList{"Level", "Pump1"}));
}

void TestGatewayTags::deletedTagsObjectIsNoLongerUsed()
{
    core().m_opcServer->setNodeManagementAllowed(true);
    QCOMPARE(m_client->deleteNode(QUaNodeId(0, kTagsObjectId)), UA_STATUSCODE_GOOD);
    QTRY_VERIFY(!core().m_folderSub);
    QCOMPARE(valueOf(core(), "Level"), QVariant(QStringLiteral("untouched")));
    QVERIFY(core().m_tags.isEmpty());

    QVERIFY(!core().createNewTag(sqlRecord("Level", "2", "Double")));
    QCOMPARE(m_gateway->log().last(),
             QStringLiteral("[critical] ERROR Not created: TagName= Level, NodeId= ns=0;s=Level"));
    QCOMPARE(m_client->readValue(QUaNodeId(0, "Level")), QVariant());
}

QTEST_MAIN(TestGatewayTags)
#include "tst_gateway_tags.moc"
