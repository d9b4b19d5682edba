// The value vocabulary of the object layer without a running server: node ids,
// names and texts, the value converter, status codes, the text forms of the
// meta-type registration, and the bridge of the stack's log records.
#include <QtTest>

#include <cstdarg>
#include <limits>

#include "quafolderobject.h"
#include "quaserver.h"
#include "quatypes.h"

using namespace QUaValueConverter;

namespace
{

// The elements of a list or vector, to compare containers Qt has no QVariant
// equality for.
QVariantList elementsOf(const QVariant &container)
{
    QVariantList elements;
    for (const QVariant &element : container.value<QSequentialIterable>())
        elements.append(element);
    return elements;
}

// The stack server behind a node object, where the stack's own code logs.
struct StackOf : QUaNode {
    static UA_Server *server(const QUaNode *node) { return (node->*(&StackOf::stackServer))(); }
};

void logThrough(const UA_Logger *logger, UA_LogLevel level, UA_LogCategory category,
                const char *format, ...)
{
    va_list args;
    va_start(args, format);
    logger->log(logger->context, level, category, format, args);
    va_end(args);
}

const QUuid someUuid(QStringLiteral("{72962b91-fa75-4ae6-8d28-b404dc7daf63}"));

} // namespace

class TestQuaValues : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QUa::registerMetaTypes();
        // QVariant equality of the object layer's types, for the comparisons below.
        QMetaType::registerEqualsComparator<QUaNodeId>();
        QMetaType::registerEqualsComparator<QUaQualifiedName>();
        QMetaType::registerEqualsComparator<QUaLocalizedText>();
        QMetaType::registerEqualsComparator<QUaStatusCode>();
    }

    // An empty printed form: the text does not parse.
    void nodeIdParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("printed");
        const auto row = [](const char *name, const char *text, const char *printed) {
            QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(printed);
        };
        row("utf-8 string", "ns=2;s=Скорость", "ns=2;s=Скорость");
        row("namespace 0 implied", "i=85", "ns=0;i=85");
        row("spaces dropped", "  ns = 4 ;\ti = 7 ", "ns=4;i=7");
        row("equals in identifier", "ns=1;s=a=b", "ns=1;s=a=b");
        row("largest numeric", "ns=65535;i=4294967295", "ns=65535;i=4294967295");
        row("guid", "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63",
            "ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63");
        row("byte string", "ns=3;b=AAECAwQ=", "ns=3;b=AAECAwQ=");
        row("namespace too large", "ns=70000;i=1", "");
        row("namespace not a number", "ns=x;i=1", "");
        row("negative number", "ns=1;i=-1", "");
        row("bad guid", "ns=1;g=1234", "");
    }

    // A node id that parses converts to the stack's node id of its printed form, a GUID
    // in the stack's byte order.
    void nodeIdParsing()
    {
        QFETCH(QString, text);
        QFETCH(QString, printed);
        if (printed.isEmpty()) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".")));
            QVERIFY(QUaNodeId(text).isNull());
            return;
        }
        const QUaNodeId nodeId(text);
        QCOMPARE(nodeId.toString(), printed);
        QByteArray stackText = printed.toUtf8();
        UA_NodeId expected;
        QCOMPARE(UA_NodeId_parse(&expected, UA_STRING(stackText.data())), UA_STATUSCODE_GOOD);
        UA_NodeId converted = nodeId;
        QVERIFY(UA_NodeId_equal(&converted, &expected));
        QCOMPARE(QUaNodeId(converted), nodeId);
        UA_NodeId_clear(&converted);
        UA_NodeId_clear(&expected);
    }

    // Text that is no qualified name (localized text) is the whole name (text); a
    // status code without a key of its own has the stack's name, a name no key is 0xFFFFFFFF.
    void namesAndTexts()
    {
        QCOMPARE(QUaQualifiedName(QStringLiteral("ns=1;s=My Tag")), QUaQualifiedName(1, "My Tag"));
        QCOMPARE(QUaQualifiedName(QStringLiteral("Speed")), QUaQualifiedName(0, "Speed"));
        QCOMPARE(QUaQualifiedName(QStringLiteral("ns=65536;s=A")),
                 QUaQualifiedName(0, "ns=65536;s=A"));
        QCOMPARE(QUaLocalizedText(QStringLiteral("l=en;t=Start")), QUaLocalizedText("en", "Start"));
        QCOMPARE(QUaLocalizedText(QStringLiteral("l=en;Start")),
                 QUaLocalizedText("", "l=en;Start"));
        QCOMPARE(QUaStatusCode(UA_STATUSCODE_BADNODEIDUNKNOWN).toString(),
                 QStringLiteral("BadNodeIdUnknown"));
        QCOMPARE(UA_StatusCode(QUaStatusCode("NoSuchStatus")), UA_StatusCode(0xFFFFFFFF));
    }

    void roundTrips_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("uaType");
        QTest::addColumn<QVariant>("back");
        QTest::addColumn<QVariant>("asVector"); // arrays only
        const auto row = [](const char *name, const QVariant &value, int uaType,
                            const QVariant &back, const QVariant &asVector = QVariant()) {
            QTest::newRow(name) << value << uaType << back << asVector;
        };
        const auto same = [row](const char *name, const QVariant &value, int uaType) {
            row(name, value, uaType, value);
        };
        same("bool", true, UA_TYPES_BOOLEAN);
        same("int", -7, UA_TYPES_INT32);
        row("long", QVariant::fromValue(long(-6)), UA_TYPES_INT64, QVariant(qlonglong(-6)));
        same("quint64 max", QVariant(std::numeric_limits<qulonglong>::max()), UA_TYPES_UINT64);
        row("char", QVariant::fromValue(char(-3)), UA_TYPES_SBYTE, QVariant::fromValue(qint8(-3)));
        same("float", 1.5f, UA_TYPES_FLOAT);
        same("double", -2.25, UA_TYPES_DOUBLE);
        same("string", QStringLiteral("Привет, мир"), UA_TYPES_STRING);
        same("bytes with NUL", QByteArray("a\0b", 3), UA_TYPES_BYTESTRING);
        same("date time", QDateTime(QDate(2024, 2, 29), QTime(13, 45, 12, 345), Qt::UTC),
             UA_TYPES_DATETIME);
        same("uuid", someUuid, UA_TYPES_GUID);
        same("node id", QVariant::fromValue(QUaNodeId(2, QStringLiteral("Line1"))),
             UA_TYPES_NODEID);
        same("qualified name", QVariant::fromValue(QUaQualifiedName(3, QStringLiteral("Имя"))),
             UA_TYPES_QUALIFIEDNAME);
        same("localized text", QVariant::fromValue(QUaLocalizedText("ru", "Текст")),
             UA_TYPES_LOCALIZEDTEXT);
        // A single status code reads back as a plain number, a list as status codes.
        const QUaStatusCode failure(QUa::Status::BadDeviceFailure);
        row("status code", QVariant::fromValue(failure), UA_TYPES_STATUSCODE,
            QVariant(0x808B0000u));

        // Values without an OPC UA form convert to the empty variant.
        row("null", QVariant(), -1, QVariant());
        row("no OPC UA type", QVariant(QRect(1, 2, 3, 4)), -1, QVariant());
        row("list of lists", QVariant(QVariantList{QVariantList{1}}), -1, QVariant());
        row("empty variant list", QVariant(QVariantList()), -1, QVariant());

        // Lists read back as lists of the element type, or as vectors when
        // asked; elements that do not convert to the first one's type become
        // its zero. One made from its type id alone (as from a property)
        // converts all the same.
        row("mixed variant list", QVariantList{1, QStringLiteral("x"), 2.7}, UA_TYPES_INT32,
            QVariant::fromValue(QList<int>{1, 0, 3}), QVariant::fromValue(QVector<int>{1, 0, 3}));
        const QByteArrayList bytes{"x", QByteArray("\0", 1)};
        row("byte array list", QVariant::fromValue(bytes), UA_TYPES_BYTESTRING,
            QVariant::fromValue(bytes), QVariant::fromValue(QVector<QByteArray>::fromList(bytes)));
        const QVector<QUaLocalizedText> texts{{"en", "On"}, {"", "Вкл"}};
        row("localized text vector", QVariant::fromValue(texts), UA_TYPES_LOCALIZEDTEXT,
            QVariant::fromValue(texts.toList()), QVariant::fromValue(texts));
        const QVector<quint16> numbers{1, 2};
        row("vector by type id", QVariant(QMetaType::type("QVector<ushort>"), &numbers),
            UA_TYPES_UINT16, QVariant::fromValue(numbers.toList()), QVariant::fromValue(numbers));
        const QList<QUaStatusCode> codes{failure, UA_StatusCode(UA_STATUSCODE_BADNOTFOUND)};
        row("status code list", QVariant::fromValue(codes), UA_TYPES_STATUSCODE,
            QVariant::fromValue(codes), QVariant::fromValue(codes.toVector()));
    }

    void roundTrips()
    {
        QFETCH(QVariant, value);
        QFETCH(int, uaType);
        QFETCH(QVariant, back);
        QFETCH(QVariant, asVector);
        UA_Variant converted = toUaVariant(value);
        const auto clear = qScopeGuard([&converted] { UA_Variant_clear(&converted); });
        const bool isArray = asVector.isValid();
        QVERIFY(uaType < 0 ? UA_Variant_isEmpty(&converted)
                : isArray  ? UA_Variant_hasArrayType(&converted, &UA_TYPES[uaType])
                           : UA_Variant_hasScalarType(&converted, &UA_TYPES[uaType]));
        const QVariant direct = toQVariant(converted);
        QCOMPARE(direct.userType(), back.userType());
        if (!isArray) {
            QCOMPARE(direct, back);
            return;
        }
        QCOMPARE(converted.arrayDimensionsSize, size_t(1));
        QCOMPARE(size_t(converted.arrayDimensions[0]), converted.arrayLength);
        QCOMPARE(elementsOf(direct), elementsOf(back));
        const QVariant vector = toQVariant(converted, QUaArrayKind::Vector);
        QCOMPARE(vector.userType(), asVector.userType());
        QCOMPARE(elementsOf(vector), elementsOf(asVector));
    }

    void arraysAndStringsOfTheStack()
    {
        // An invalid first element makes an array of empty variants.
        UA_Variant unknown = toUaVariant(QVariantList{QVariant(), 5});
        QCOMPARE(toQVariant(unknown), QVariant(QVariantList{QVariant(), QVariant()}));
        UA_Variant_clear(&unknown);

        // The stack's empty array is an empty container, not a null value.
        UA_Variant emptyArray;
        UA_Variant_setArray(&emptyArray, UA_EMPTY_ARRAY_SENTINEL, 0, &UA_TYPES[UA_TYPES_INT32]);
        QCOMPARE(toQVariant(emptyArray).userType(), qMetaTypeId<QList<int>>());

        // Arrays of variants, as clients write them for BaseDataType.
        UA_Variant elements[2] = {toUaVariant(5), toUaVariant(QStringLiteral("x"))};
        UA_Variant outer;
        UA_Variant_setArray(&outer, elements, 2, &UA_TYPES[UA_TYPES_VARIANT]);
        QCOMPARE(toQVariant(outer), QVariant(QVariantList{5, QStringLiteral("x")}));
        UA_Variant_clear(&elements[0]);
        UA_Variant_clear(&elements[1]);

        // Null and empty stay apart both ways; text ends at a NUL.
        QVERIFY(toQString(UA_STRING_NULL).isNull());
        UA_String empty = toUaString(QString(""));
        QVERIFY(!toQString(empty).isNull());
        UA_String_clear(&empty);
        UA_String cut = toUaString(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
        QCOMPARE(toQString(cut), QStringLiteral("ab"));
        UA_String_clear(&cut);
        QVERIFY(toQByteArray(toUaByteString(QByteArray())).isNull());
        UA_ByteString emptyBytes = toUaByteString(QByteArray(""));
        QVERIFY(!toQByteArray(emptyBytes).isNull());
        UA_ByteString_clear(&emptyBytes);
    }

    void timeConversion()
    {
        QCOMPARE(toUaDateTime(QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC)),
                 UA_DATETIME_UNIX_EPOCH);
        QCOMPARE(toQDateTime(0), QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(toQDateTime(0).timeSpec(), Qt::UTC);

        // Times beyond OPC UA's range are clamped, not wrapped around.
        const UA_DateTime clamped =
            toUaDateTime(QDateTime(QDate(40000, 1, 1), QTime(0, 0), Qt::UTC));
        QVERIFY(std::numeric_limits<UA_DateTime>::max() - clamped < UA_DATETIME_MSEC);
        QVERIFY(toUaDateTime(QDateTime(QDate(-40000, 1, 1), QTime(0, 0), Qt::UTC)) < 0);
    }

    // Values write as their text through QVariant, and read back from it.
    void textForms_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, const auto &value, const char *text) {
            QTest::newRow(name) << QVariant::fromValue(value) << QString::fromUtf8(text);
        };
        row("node id", QUaNodeId(1, "Tag"), "ns=1;s=Tag");
        row("qualified name", QUaQualifiedName(1, "Speed"), "ns=1;s=Speed");
        row("localized text", QUaLocalizedText("en", "Stop"), "l=en;t=Stop");
        row("status code", QUaStatusCode(QUa::Status::BadNotConnected), "BadNotConnected");
        row("limit state", QUaExclusiveLimitState::LowLow, "LowLow");
        row("data type", QUaDataType(QMetaType::ULongLong), "ULongLong");
        row("change",
            QUaChangeStructureDataType(QUaNodeId(2, "A"), {0, 58}, QUa::ChangeVerb::NodeDeleted),
            "ns=2;s=A|ns=0;i=58|NodeDeleted");
        row("text list", QList<QUaLocalizedText>({{"en", "On"}, {"", "Вкл"}}), "l=en;t=On,Вкл");
        row("empty list", QList<QUaNodeId>(), "");
    }

    void textForms()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, text);
        QCOMPARE(value.toString(), text);
        QVariant parsed(text);
        QVERIFY(parsed.convert(value.userType()));
        QCOMPARE(parsed.toString(), text);
    }

    // The stack's records reach logMessage in the layer's levels and categories.
    void stackLogRecords()
    {
        struct Record {
            int stackLevel;
            UA_LogCategory stackCategory;
            QUa::LogLevel level;
            QUa::LogCategory category;
        };
        using L = QUa::LogLevel;
        using C = QUa::LogCategory;
        const QVector<Record> records{
            {UA_LOGLEVEL_INFO, UA_LOGCATEGORY_NETWORK, L::Info, C::Network},
            {UA_LOGLEVEL_WARNING, UA_LOGCATEGORY_EVENTLOOP, L::Warning, C::Network},
            {450, UA_LOGCATEGORY_SESSION, L::Warning, C::Session},
            {UA_LOGLEVEL_FATAL, UA_LOGCATEGORY_DISCOVERY, L::Fatal, C::Server},
            {UA_LOGLEVEL_TRACE, UA_LOGCATEGORY_PUBSUB, L::Trace, C::Application}};
        QUaServer server;
        QSignalSpy logged(&server, &QUaServer::logMessage);
        const UA_Logger *logger =
            UA_Server_getConfig(StackOf::server(server.objectsFolder()))->logging;
        for (const Record &record : records) {
            logThrough(logger, UA_LogLevel(record.stackLevel), record.stackCategory, "%d.", 7);
            QCOMPARE(logged.count(), 1);
            const QUaLog log = logged.takeFirst().at(0).value<QUaLog>();
            QCOMPARE(log.message, QByteArray("7."));
            QCOMPARE(log.level, record.level);
            QCOMPARE(log.category, record.category);
        }
    }
};

QTEST_GUILESS_MAIN(TestQuaValues)
#include "tst_quavalues.moc"
