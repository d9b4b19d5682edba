// Node ids, qualified names and localized texts: text forms, parsing with its
// warnings, ordering, and round trips through the stack's own types.
#include <QSet>
#include <QtTest>

#include <algorithm>

#include "quatypes.h"

namespace
{

// Collects what goes to Qt's warning output while it lives.
class WarningCatcher
{
public:
    WarningCatcher()
    {
        caught().clear();
        m_previous = qInstallMessageHandler(&WarningCatcher::handle);
    }
    ~WarningCatcher() { qInstallMessageHandler(m_previous); }
    static QStringList &caught()
    {
        static QStringList messages;
        return messages;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtWarningMsg)
            caught().append(QStringLiteral("%1: %2").arg(QLatin1String(context.category), message));
    }
    QtMessageHandler m_previous;
};

} // namespace

class TestQuaValueTypes : public QObject
{
    Q_OBJECT

private slots:
    void nodeIdTextForms_data();
    void nodeIdTextForms();
    void nodeIdParseFailures_data();
    void nodeIdParseFailures();
    void nodeIdSettersSwitchKind();
    void nodeIdCopiesAreIndependent();
    void nodeIdOrdering();
    void nodeIdEqualityAndHash();
    void nodeIdStackRoundTrip_data();
    void nodeIdStackRoundTrip();
    void qualifiedNameParsing_data();
    void qualifiedNameParsing();
    void qualifiedNameOrderingAndStack();
    void localizedTextParsing_data();
    void localizedTextParsing();
    void localizedTextOrderingAndStack();
};

void TestQuaValueTypes::nodeIdTextForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("printed");
    const int numeric = int(QUa::NodeIdType::Numeric);
    const int string = int(QUa::NodeIdType::String);
    QTest::newRow("string") << "ns=2;s=Line1.Speed" << string << "ns=2;s=Line1.Speed";
    QTest::newRow("namespace 0 implied") << "i=85" << numeric << "ns=0;i=85";
    QTest::newRow("spaces dropped") << "ns=2;s=My Tag" << string << "ns=2;s=MyTag";
    QTest::newRow("spaces around parts") << "  ns = 4 ;\ti = 7 " << numeric << "ns=4;i=7";
    QTest::newRow("equals in identifier") << "ns=1;s=a=b" << string << "ns=1;s=a=b";
    QTest::newRow("last ns= wins") << "xns=1ns=3;i=5" << numeric << "ns=3;i=5";
    QTest::newRow("largest numeric")
        << "ns=65535;i=4294967295" << numeric << "ns=65535;i=4294967295";
    QTest::newRow("guid") << "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63"
                          << int(QUa::NodeIdType::Guid)
                          << "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63";
    QTest::newRow("byte string") << "ns=3;b=AQID" << int(QUa::NodeIdType::ByteString)
                                 << "ns=3;b=AQID";
    QTest::newRow("utf-8 string") << "ns=2;s=Скорость" << string << "ns=2;s=Скорость";
}

void TestQuaValueTypes::nodeIdTextForms()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, printed);
    WarningCatcher warnings;
    const QUaNodeId nodeId(text);
    QCOMPARE(int(nodeId.type()), kind);
    QCOMPARE(nodeId.toString(), printed);
    QCOMPARE(QUaNodeId(printed), nodeId);
    QVERIFY(WarningCatcher::caught().isEmpty());
}

void TestQuaValueTypes::nodeIdParseFailures_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("warning");
    QTest::newRow("namespace too large")
        << "ns=70000;i=1"
        << "default: Failed to split node id string: \"ns=70000;i=1\"";
    QTest::newRow("namespace not a number")
        << "ns=x;i=1"
        << "default: Failed to split node id string: \"ns=x;i=1\"";
    QTest::newRow("three parts") << "ns=1;i=2;i=3"
                                 << "default: Failed to split node id string: \"ns=1;i=2;i=3\"";
    QTest::newRow("no kind marker") << "ns=1;x=5"
                                    << "default: Failed to split node id string: \"ns=1;x=5\"";
    QTest::newRow("unknown kind letter") << "ns=1;xs=5"
                                         << "default: Could not parse node id: \"ns=1;xs=5\"";
    QTest::newRow("marker without letter") << "ns=1;=s=5"
                                           << "default: Could not parse node id: \"ns=1;=s=5\"";
    QTest::newRow("bad number")
        << "ns=1;i=abc"
        << "default: \"ns=1;i=abc\" does not contain a valid numeric identifier";
    QTest::newRow("negative number")
        << "ns=1;i=-1"
        << "default: \"ns=1;i=-1\" does not contain a valid numeric identifier";
    QTest::newRow("empty string")
        << "ns=1;s="
        << "default: \"ns=1;s=\" does not contain a valid string identifier";
    QTest::newRow("bad guid")
        << "ns=1;g=1234"
        << "default: \"ns=1;g=1234\" does not contain a valid guid identifier";
    QTest::newRow("nothing decoded")
        << "ns=1;b=!!"
        << "default: \"ns=1;b=!!\" does not contain a valid byte string identifier";
}

void TestQuaValueTypes::nodeIdParseFailures()
{
    QFETCH(QString, text);
    QFETCH(QString, warning);
    WarningCatcher warnings;
    const QUaNodeId nodeId(text);
    QVERIFY(nodeId.isNull());
    QCOMPARE(nodeId.namespaceIndex(), quint16(0));
    QCOMPARE(nodeId.type(), QUa::NodeIdType::Numeric);
    QCOMPARE(WarningCatcher::caught(), QStringList{warning});
}

void TestQuaValueTypes::nodeIdSettersSwitchKind()
{
    WarningCatcher warnings;
    QVERIFY(QUaNodeId("").isNull());
    QVERIFY(QUaNodeId(QString()).isNull());
    QVERIFY(WarningCatcher::caught().isEmpty());

    QUaNodeId nodeId(5, 42);
    nodeId.setStringId(QStringLiteral("Tank"));
    QCOMPARE(nodeId.type(), QUa::NodeIdType::String);
    QCOMPARE(nodeId.namespaceIndex(), quint16(5));
    QCOMPARE(nodeId.stringId(), QStringLiteral("Tank"));
    QCOMPARE(nodeId.numericId(), quint32(0));
    nodeId.setStringId(QStringLiteral("Tank2"));
    QCOMPARE(nodeId.toString(), QStringLiteral("ns=5;s=Tank2"));

    nodeId.setByteStringId(QByteArray("\x01\x00\x03", 3));
    QCOMPARE(nodeId.type(), QUa::NodeIdType::ByteString);
    QCOMPARE(nodeId.byteStringId(), QByteArray("\x01\x00\x03", 3));
    QCOMPARE(nodeId.stringId(), QString());

    const QUuid uuid(QStringLiteral("{72962b91-fa75-4ae6-8d28-b404dc7daf63}"));
    nodeId.setUuId(uuid);
    QCOMPARE(nodeId.type(), QUa::NodeIdType::Guid);
    QCOMPARE(nodeId.uuId(), uuid);
    QVERIFY(nodeId.byteStringId().isNull());

    nodeId.setNumericId(7);
    QCOMPARE(nodeId.toString(), QStringLiteral("ns=5;i=7"));
    QVERIFY(nodeId.uuId().isNull());

    nodeId.clear();
    QVERIFY(nodeId.isNull());
    QCOMPARE(nodeId.namespaceIndex(), quint16(0));
    nodeId.clear();
    QVERIFY(nodeId.isNull());
}

void TestQuaValueTypes::nodeIdCopiesAreIndependent()
{
    QUaNodeId original(2, QStringLiteral("Line1.Speed"));
    QUaNodeId copy(original);
    copy.setStringId(QStringLiteral("Other"));
    QCOMPARE(original.stringId(), QStringLiteral("Line1.Speed"));

    QUaNodeId assigned(3, QByteArray("xyz"));
    assigned = original;
    QCOMPARE(assigned, original);
    assigned = *&assigned;
    QCOMPARE(assigned.toString(), QStringLiteral("ns=2;s=Line1.Speed"));

    QUaNodeId moved(std::move(assigned));
    QCOMPARE(moved, original);
    QUaNodeId target(1, QStringLiteral("old"));
    target = std::move(moved);
    QCOMPARE(target, original);
}

void TestQuaValueTypes::nodeIdOrdering()
{
    const QList<QUaNodeId> ordered = {
        QUaNodeId(0, 85),
        QUaNodeId(0, QStringLiteral("zzz")),
        QUaNodeId(1, 2),
        QUaNodeId(1, 10),
        QUaNodeId(1, QStringLiteral("Alpha")),
        QUaNodeId(1, QStringLiteral("beta")),
        QUaNodeId(1, QUuid(QStringLiteral("{00000001-0000-0000-0000-000000000000}"))),
        QUaNodeId(1, QUuid(QStringLiteral("{00000002-0000-0000-0000-000000000000}"))),
        QUaNodeId(1, QByteArray("a")),
        QUaNodeId(1, QByteArray("ab")),
        QUaNodeId(2, 0),
    };
    QList<QUaNodeId> shuffled = ordered;
    std::reverse(shuffled.begin(), shuffled.end());
    std::swap(shuffled[2], shuffled[7]);
    std::sort(shuffled.begin(), shuffled.end());
    QCOMPARE(shuffled, ordered);
    QVERIFY(!(ordered[3] < ordered[3]));
}

void TestQuaValueTypes::nodeIdEqualityAndHash()
{
    const QUaNodeId parsed("ns=1;s=Tag");
    const QUaNodeId built(1, "Tag");
    QVERIFY(parsed == built);
    QCOMPARE(qHash(parsed), qHash(built));
    QVERIFY(QUaNodeId(1, 5) != QUaNodeId(2, 5));
    QVERIFY(QUaNodeId(1, 5) != QUaNodeId(1, QStringLiteral("5")));

    QSet<QUaNodeId> ids{parsed, built, QUaNodeId(1, 5), QUaNodeId("ns=1;i=5")};
    QCOMPARE(ids.size(), 2);
    QVERIFY(ids.contains(QUaNodeId("ns=1;i=5")));
}

void TestQuaValueTypes::nodeIdStackRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("numeric") << "ns=0;i=2253";
    QTest::newRow("string") << "ns=1;s=Тег.Значение";
    QTest::newRow("guid") << "ns=7;g=72962b91-fa75-4ae6-8d28-b404dc7daf63";
    QTest::newRow("byte string") << "ns=3;b=AAECAwQ=";
}

void TestQuaValueTypes::nodeIdStackRoundTrip()
{
    QFETCH(QString, text);
    const QUaNodeId nodeId(text);

    // The stack's own parser builds the reference.
    QByteArray stackText = text.toUtf8();
    UA_NodeId expected;
    QCOMPARE(UA_NodeId_parse(&expected, UA_STRING(stackText.data())), UA_STATUSCODE_GOOD);

    UA_NodeId converted = nodeId;
    QVERIFY(UA_NodeId_equal(&converted, &expected));
    QCOMPARE(QUaNodeId(converted), nodeId);
    QCOMPARE(QUaNodeId(converted).toString(), text);
    QCOMPARE(qHash(nodeId), UA_NodeId_hash(&expected));
    UA_NodeId_clear(&converted);
    UA_NodeId_clear(&expected);
}

void TestQuaValueTypes::qualifiedNameParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("namespaceIndex");
    QTest::addColumn<QString>("name");
    QTest::newRow("text form") << "ns=1;s=Speed" << 1 << "Speed";
    QTest::newRow("bare name") << "Speed" << 0 << "Speed";
    QTest::newRow("bad namespace") << "ns=x;s=Speed" << 0 << "ns=x;s=Speed";
    QTest::newRow("namespace too large") << "ns=65536;s=A" << 0 << "ns=65536;s=A";
    QTest::newRow("no kind marker") << "a;b" << 0 << "a;b";
    QTest::newRow("first part without ns") << "foo;s=bar" << 0 << "bar";
    QTest::newRow("second equals drops rest") << "ns=2;s=a=b" << 2 << "a";
    QTest::newRow("spaces kept") << "ns=1;s=My Tag" << 1 << "My Tag";
    QTest::newRow("three parts") << "ns=1;s=a;b" << 0 << "ns=1;s=a;b";
}

void TestQuaValueTypes::qualifiedNameParsing()
{
    QFETCH(QString, text);
    QFETCH(int, namespaceIndex);
    QFETCH(QString, name);
    const QUaQualifiedName parsed(text);
    QCOMPARE(int(parsed.namespaceIndex()), namespaceIndex);
    QCOMPARE(parsed.name(), name);
}

void TestQuaValueTypes::qualifiedNameOrderingAndStack()
{
    const QUaQualifiedName speed(1, QStringLiteral("Speed"));
    QCOMPARE(speed.toString(), QStringLiteral("ns=1;s=Speed"));
    QCOMPARE(QUaQualifiedName(speed.toString()), speed);
    QVERIFY(QUaQualifiedName(3, QString()).isEmpty());
    QVERIFY(QUaQualifiedName(0, QStringLiteral("Zeta")) < QUaQualifiedName(1, QStringLiteral("A")));
    QVERIFY(QUaQualifiedName(1, QStringLiteral("A")) < QUaQualifiedName(1, QStringLiteral("B")));
    QVERIFY(QUaQualifiedName(1, QStringLiteral("a")) != QUaQualifiedName(1, QStringLiteral("A")));
    QCOMPARE(qHash(speed), qHash(QStringLiteral("Speed"), 1));

    const QUaQualifiedName russian(2, QStringLiteral("Давление"));
    UA_QualifiedName converted = russian;
    UA_QualifiedName expected = UA_QUALIFIEDNAME_ALLOC(2, "Давление");
    QVERIFY(UA_QualifiedName_equal(&converted, &expected));
    QCOMPARE(QUaQualifiedName(converted), russian);
    UA_QualifiedName_clear(&converted);
    UA_QualifiedName_clear(&expected);
}

void TestQuaValueTypes::localizedTextParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("printed");
    QTest::newRow("text form") << "l=en;t=Start"
                               << "en"
                               << "Start"
                               << "l=en;t=Start";
    QTest::newRow("bare text") << "Start"
                               << ""
                               << "Start"
                               << "Start";
    QTest::newRow("no t= in second part") << "l=en;Start"
                                          << ""
                                          << "l=en;Start"
                                          << "l=en;Start";
    QTest::newRow("first part without l=") << "x;t=Start"
                                           << ""
                                           << "Start"
                                           << "Start";
    QTest::newRow("three parts") << "l=en;t=a;b"
                                 << ""
                                 << "l=en;t=a;b"
                                 << "l=en;t=a;b";
}

void TestQuaValueTypes::localizedTextParsing()
{
    QFETCH(QString, text);
    QFETCH(QString, locale);
    QFETCH(QString, plain);
    QFETCH(QString, printed);
    const QUaLocalizedText parsed(text);
    QCOMPARE(parsed.locale(), locale);
    QCOMPARE(parsed.text(), plain);
    QCOMPARE(parsed.toString(), printed);
}

void TestQuaValueTypes::localizedTextOrderingAndStack()
{
    QCOMPARE(QUaLocalizedText("", "Start").toString(), QStringLiteral("Start"));
    QCOMPARE(QUaLocalizedText("ru", "Пуск").toString(), QStringLiteral("l=ru;t=Пуск"));
    QVERIFY(QUaLocalizedText("de", "Z") < QUaLocalizedText("en", "A"));
    QVERIFY(QUaLocalizedText("en", "A") < QUaLocalizedText("en", "B"));
    QVERIFY(QUaLocalizedText("en", "A") != QUaLocalizedText("EN", "A"));

    const QUaLocalizedText russian(QStringLiteral("ru-RU"), QStringLiteral("Насос №1"));
    UA_LocalizedText converted = russian;
    UA_LocalizedText expected = UA_LOCALIZEDTEXT_ALLOC("ru-RU", "Насос №1");
    QVERIFY(UA_LocalizedText_equal(&converted, &expected));
    QCOMPARE(QUaLocalizedText(converted), russian);
    UA_LocalizedText_clear(&converted);
    UA_LocalizedText_clear(&expected);
}

QTEST_GUILESS_MAIN(TestQuaValueTypes)
#include "tst_quavaluetypes.moc"
