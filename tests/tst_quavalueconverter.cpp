// The value converter: scalars and arrays both ways through real UA_Variants
// (also through the stack's binary encoding), times, strings, GUIDs and the
// type tables.
#include <QtTest>

#include <limits>

#include "quatypes.h"

using namespace QUaValueConverter;

namespace
{

// Owns a UA_Variant for the length of a test.
struct ScopedVariant {
    UA_Variant variant;
    explicit ScopedVariant(const UA_Variant &from) : variant(from) {}
    ~ScopedVariant() { UA_Variant_clear(&variant); }
    ScopedVariant(const ScopedVariant &) = delete;
    ScopedVariant &operator=(const ScopedVariant &) = delete;
    const UA_Variant *operator->() const { return &variant; }
};

// Encodes the variant with the stack's binary encoder and decodes it again,
// as a value travels to a client and back.
UA_Variant throughBinaryEncoding(const UA_Variant &variant)
{
    UA_ByteString encoded = UA_BYTESTRING_NULL;
    UA_Variant decoded;
    UA_Variant_init(&decoded);
    if (UA_encodeBinary(&variant, &UA_TYPES[UA_TYPES_VARIANT], &encoded) == UA_STATUSCODE_GOOD)
        UA_decodeBinary(&encoded, &decoded, &UA_TYPES[UA_TYPES_VARIANT], nullptr);
    UA_ByteString_clear(&encoded);
    return decoded;
}

const QDateTime unixEpoch(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);

// The elements of a list or vector, to compare containers Qt has no QVariant
// equality for.
QVariantList elementsOf(const QVariant &container)
{
    QVariantList elements;
    for (const QVariant &element : container.value<QSequentialIterable>())
        elements.append(element);
    return elements;
}

} // namespace

class TestQuaValueConverter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void emptyValues();
    void scalarRoundTrips_data();
    void scalarRoundTrips();
    void statusCodeKeepsItsCode();
    void arrayRoundTrips_data();
    void arrayRoundTrips();
    void arrayElementsFollowFirstElement();
    void emptyListsGiveEmptyVariants_data();
    void emptyListsGiveEmptyVariants();
    void arraysOfVariants();
    void stackOnlyShapes();
    void timeConversion();
    void stringsAndBytes();
    void guidFieldByField();
    void typeTables();
};

void TestQuaValueConverter::initTestCase()
{
    QUa::registerMetaTypes();
    // QVariant equality of the object layer's types, for the comparisons below.
    QMetaType::registerEqualsComparator<QUaNodeId>();
    QMetaType::registerEqualsComparator<QUaQualifiedName>();
    QMetaType::registerEqualsComparator<QUaLocalizedText>();
}

void TestQuaValueConverter::emptyValues()
{
    ScopedVariant empty(toUaVariant(QVariant()));
    QVERIFY(UA_Variant_isEmpty(&empty.variant));
    QVERIFY(toQVariant(empty.variant).isNull());
    QVERIFY(!toQVariant(empty.variant).isValid());

    // Types without an OPC UA counterpart become empty variants as well.
    ScopedVariant rect(toUaVariant(QRect(1, 2, 3, 4)));
    QVERIFY(UA_Variant_isEmpty(&rect.variant));
    const QVariant inner(5);
    const QVariant holdingVariant(QMetaType::QVariant, &inner);
    QCOMPARE(holdingVariant.userType(), int(QMetaType::QVariant));
    ScopedVariant nested(toUaVariant(holdingVariant));
    QVERIFY(UA_Variant_isEmpty(&nested.variant));
}

void TestQuaValueConverter::scalarRoundTrips_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("uaType");
    QTest::addColumn<QVariant>("back");

    auto row = [](const char *name, const QVariant &value, int uaType, const QVariant &back) {
        QTest::newRow(name) << value << uaType << back;
    };
    row("bool", true, UA_TYPES_BOOLEAN, true);
    row("int", -7, UA_TYPES_INT32, -7);
    row("uint", 4000000000u, UA_TYPES_UINT32, 4000000000u);
    row("qint64", QVariant(qint64(-5)), UA_TYPES_INT64, QVariant(qlonglong(-5)));
    row("long", QVariant::fromValue(long(-6)), UA_TYPES_INT64, QVariant(qlonglong(-6)));
    row("quint64 max", QVariant(std::numeric_limits<quint64>::max()), UA_TYPES_UINT64,
        QVariant(std::numeric_limits<qulonglong>::max()));
    row("ulong", QVariant::fromValue(ulong(9)), UA_TYPES_UINT64, QVariant(qulonglong(9)));
    row("short", QVariant::fromValue(short(-300)), UA_TYPES_INT16,
        QVariant::fromValue(qint16(-300)));
    row("ushort", QVariant::fromValue(ushort(60000)), UA_TYPES_UINT16,
        QVariant::fromValue(quint16(60000)));
    row("uchar", QVariant::fromValue(uchar(200)), UA_TYPES_BYTE, QVariant::fromValue(quint8(200)));
    row("char", QVariant::fromValue(char(-3)), UA_TYPES_SBYTE, QVariant::fromValue(qint8(-3)));
    row("signed char", QVariant::fromValue(qint8(-128)), UA_TYPES_SBYTE,
        QVariant::fromValue(qint8(-128)));
    row("float", 1.5f, UA_TYPES_FLOAT, 1.5f);
    row("double", -2.25, UA_TYPES_DOUBLE, -2.25);
    row("string", QStringLiteral("Привет, мир"), UA_TYPES_STRING, QStringLiteral("Привет, мир"));
    row("empty string", QString(""), UA_TYPES_STRING, QString(""));
    row("bytes with NUL", QByteArray("a\0b", 3), UA_TYPES_BYTESTRING, QByteArray("a\0b", 3));
    const QDateTime time(QDate(2024, 2, 29), QTime(13, 45, 12, 345), Qt::UTC);
    row("date time", time, UA_TYPES_DATETIME, time);
    const QUuid uuid(QStringLiteral("{72962b91-fa75-4ae6-8d28-b404dc7daf63}"));
    row("uuid", uuid, UA_TYPES_GUID, uuid);
    const QVariant nodeId = QVariant::fromValue(QUaNodeId(2, QStringLiteral("Line1.Speed")));
    row("node id", nodeId, UA_TYPES_NODEID, nodeId);
    const QVariant name = QVariant::fromValue(QUaQualifiedName(3, QStringLiteral("Имя")));
    row("qualified name", name, UA_TYPES_QUALIFIEDNAME, name);
    const QVariant text = QVariant::fromValue(QUaLocalizedText("ru", "Текст"));
    row("localized text", text, UA_TYPES_LOCALIZEDTEXT, text);
}

void TestQuaValueConverter::scalarRoundTrips()
{
    QFETCH(QVariant, value);
    QFETCH(int, uaType);
    QFETCH(QVariant, back);

    ScopedVariant converted(toUaVariant(value));
    QVERIFY(UA_Variant_hasScalarType(&converted.variant, &UA_TYPES[uaType]));
    QCOMPARE(converted->arrayDimensionsSize, size_t(0));

    const QVariant direct = toQVariant(converted.variant);
    QCOMPARE(direct.userType(), back.userType());
    QCOMPARE(direct, back);

    ScopedVariant decoded(throughBinaryEncoding(converted.variant));
    QVERIFY(UA_Variant_hasScalarType(&decoded.variant, &UA_TYPES[uaType]));
    QCOMPARE(toQVariant(decoded.variant), back);
}

void TestQuaValueConverter::statusCodeKeepsItsCode()
{
    const QUaStatusCode failure(QUa::Status::BadDeviceFailure);
    ScopedVariant scalar(toUaVariant(QVariant::fromValue(failure)));
    QVERIFY(UA_Variant_hasScalarType(&scalar.variant, &UA_TYPES[UA_TYPES_STATUSCODE]));
    QCOMPARE(*static_cast<UA_StatusCode *>(scalar->data), UA_StatusCode(0x808B0000));
    // A single code reads back as a plain number.
    const QVariant back = toQVariant(scalar.variant);
    QCOMPARE(back.userType(), int(QMetaType::UInt));
    QCOMPARE(back.toUInt(), 0x808B0000u);

    const QList<QUaStatusCode> codes{QUa::Status::Good, QUa::Status::UncertainInitialValue,
                                     UA_StatusCode(UA_STATUSCODE_BADNODEIDUNKNOWN)};
    ScopedVariant array(toUaVariant(QVariant::fromValue(codes)));
    QVERIFY(UA_Variant_hasArrayType(&array.variant, &UA_TYPES[UA_TYPES_STATUSCODE]));
    const auto *written = static_cast<UA_StatusCode *>(array->data);
    QCOMPARE(written[1], UA_StatusCode(0x40920000));
    QCOMPARE(written[2], UA_StatusCode(UA_STATUSCODE_BADNODEIDUNKNOWN));
    const QList<QUaStatusCode> readBack = toQVariant(array.variant).value<QList<QUaStatusCode>>();
    QCOMPARE(readBack.size(), 3);
    QCOMPARE(UA_StatusCode(readBack[2]), UA_StatusCode(UA_STATUSCODE_BADNODEIDUNKNOWN));
}

void TestQuaValueConverter::arrayRoundTrips_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("uaType");
    QTest::addColumn<QVariant>("asList");
    QTest::addColumn<QVariant>("asVector");

    QTest::newRow("variant list of ints")
        << QVariant(QVariantList{1, 2, 3}) << UA_TYPES_INT32
        << QVariant::fromValue(QList<int>{1, 2, 3}) << QVariant::fromValue(QVector<int>{1, 2, 3});
    QTest::newRow("string list") << QVariant(QStringList{"a", "б"}) << UA_TYPES_STRING
                                 << QVariant::fromValue(QList<QString>{"a", "б"})
                                 << QVariant::fromValue(QVector<QString>{"a", "б"});
    QTest::newRow("byte array list")
        << QVariant::fromValue(QByteArrayList{"x", QByteArray("\0", 1)}) << UA_TYPES_BYTESTRING
        << QVariant::fromValue(QList<QByteArray>{"x", QByteArray("\0", 1)})
        << QVariant::fromValue(QVector<QByteArray>{"x", QByteArray("\0", 1)});
    QTest::newRow("int64 vector") << QVariant::fromValue(QVector<qint64>{-1, 1LL << 40})
                                  << UA_TYPES_INT64
                                  << QVariant::fromValue(QList<qint64>{-1, 1LL << 40})
                                  << QVariant::fromValue(QVector<qint64>{-1, 1LL << 40});
    QTest::newRow("double list") << QVariant::fromValue(QList<double>{0.5, -1e300})
                                 << UA_TYPES_DOUBLE
                                 << QVariant::fromValue(QList<double>{0.5, -1e300})
                                 << QVariant::fromValue(QVector<double>{0.5, -1e300});
    const QList<QUaNodeId> ids{QUaNodeId(0, 85), QUaNodeId(1, QStringLiteral("x"))};
    QTest::newRow("node ids") << QVariant::fromValue(ids) << UA_TYPES_NODEID
                              << QVariant::fromValue(ids)
                              << QVariant::fromValue(QVector<QUaNodeId>::fromList(ids));
    const QVector<QUaLocalizedText> texts{QUaLocalizedText("en", "On"),
                                          QUaLocalizedText("", "Вкл")};
    QTest::newRow("localized texts")
        << QVariant::fromValue(texts) << UA_TYPES_LOCALIZEDTEXT
        << QVariant::fromValue(texts.toList()) << QVariant::fromValue(texts);
}

void TestQuaValueConverter::arrayRoundTrips()
{
    QFETCH(QVariant, value);
    QFETCH(int, uaType);
    QFETCH(QVariant, asList);
    QFETCH(QVariant, asVector);

    ScopedVariant converted(toUaVariant(value));
    QVERIFY(UA_Variant_hasArrayType(&converted.variant, &UA_TYPES[uaType]));
    const size_t length = size_t(value.value<QSequentialIterable>().size());
    QCOMPARE(converted->arrayLength, length);
    QCOMPARE(converted->arrayDimensionsSize, size_t(1));
    QCOMPARE(size_t(converted->arrayDimensions[0]), length);

    const QVariant list = toQVariant(converted.variant);
    QCOMPARE(list.userType(), asList.userType());
    QCOMPARE(elementsOf(list), elementsOf(asList));
    const QVariant vector = toQVariant(converted.variant, QUaArrayKind::Vector);
    QCOMPARE(vector.userType(), asVector.userType());
    QCOMPARE(elementsOf(vector), elementsOf(asVector));
    QVERIFY(toQVariant(converted.variant, static_cast<QUaArrayKind>(2)).isNull());

    ScopedVariant decoded(throughBinaryEncoding(converted.variant));
    QCOMPARE(decoded->arrayLength, length);
    QCOMPARE(elementsOf(toQVariant(decoded.variant)), elementsOf(asList));
}

void TestQuaValueConverter::arrayElementsFollowFirstElement()
{
    // The second element does not convert to the first one's type.
    ScopedVariant mixed(toUaVariant(QVariantList{1, QStringLiteral("x"), 2.7}));
    QVERIFY(UA_Variant_hasArrayType(&mixed.variant, &UA_TYPES[UA_TYPES_INT32]));
    const auto *ints = static_cast<UA_Int32 *>(mixed->data);
    QCOMPARE(ints[0], 1);
    QCOMPARE(ints[1], 0);
    QCOMPARE(ints[2], 3);

    const QList<QDateTime> times{unixEpoch, QDateTime()};
    ScopedVariant withInvalidTime(toUaVariant(QVariant::fromValue(times)));
    QCOMPARE(static_cast<UA_DateTime *>(withInvalidTime->data)[1], UA_DateTime(0));

    // Texts in a list of node ids are read as node id texts.
    ScopedVariant ids(toUaVariant(
        QVariantList{QVariant::fromValue(QUaNodeId(1, 1)), QStringLiteral("ns=2;s=Tag")}));
    QCOMPARE(QUaNodeId(static_cast<UA_NodeId *>(ids->data)[1]), QUaNodeId(2, "Tag"));

    // An invalid first element makes an array of empty variants.
    ScopedVariant unknown(toUaVariant(QVariantList{QVariant(), 5}));
    QVERIFY(UA_Variant_hasArrayType(&unknown.variant, &UA_TYPES[UA_TYPES_VARIANT]));
    QCOMPARE(unknown->arrayLength, size_t(2));
    QVERIFY(UA_Variant_isEmpty(&static_cast<UA_Variant *>(unknown->data)[1]));
    QCOMPARE(toQVariant(unknown.variant), QVariant(QVariantList{QVariant(), QVariant()}));

    // Lists of lists have no OPC UA form here.
    ScopedVariant nested(toUaVariant(QVariantList{QVariantList{1}}));
    QVERIFY(UA_Variant_isEmpty(&nested.variant));
}

void TestQuaValueConverter::emptyListsGiveEmptyVariants_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("variant list") << QVariant(QVariantList());
    QTest::newRow("string list") << QVariant(QStringList());
    QTest::newRow("byte array list") << QVariant::fromValue(QByteArrayList());
    QTest::newRow("int list") << QVariant::fromValue(QList<int>());
    QTest::newRow("node id vector") << QVariant::fromValue(QVector<QUaNodeId>());
}

void TestQuaValueConverter::emptyListsGiveEmptyVariants()
{
    QFETCH(QVariant, value);
    ScopedVariant converted(toUaVariant(value));
    QVERIFY(UA_Variant_isEmpty(&converted.variant));
    QVERIFY(converted->data == nullptr);
}

void TestQuaValueConverter::arraysOfVariants()
{
    UA_Variant elements[2];
    UA_Int32 number = 5;
    UA_String text = UA_STRING_STATIC("x");
    UA_Variant_setScalar(&elements[0], &number, &UA_TYPES[UA_TYPES_INT32]);
    UA_Variant_setScalar(&elements[1], &text, &UA_TYPES[UA_TYPES_STRING]);
    UA_Variant outer;
    UA_Variant_setArray(&outer, elements, 2, &UA_TYPES[UA_TYPES_VARIANT]);
    QCOMPARE(toQVariant(outer), QVariant(QVariantList{5, QStringLiteral("x")}));

    // A variant holding a single variant is not unwrapped.
    UA_Variant wrapped;
    UA_Variant_setScalar(&wrapped, &elements[0], &UA_TYPES[UA_TYPES_VARIANT]);
    QVERIFY(toQVariant(wrapped).isNull());
}

void TestQuaValueConverter::stackOnlyShapes()
{
    // The stack's empty array is an empty container, not a null value.
    UA_Variant emptyArray;
    UA_Variant_setArray(&emptyArray, UA_EMPTY_ARRAY_SENTINEL, 0, &UA_TYPES[UA_TYPES_INT32]);
    const QVariant emptyList = toQVariant(emptyArray);
    QCOMPARE(emptyList.userType(), qMetaTypeId<QList<int>>());
    QVERIFY(emptyList.value<QList<int>>().isEmpty());
    QCOMPARE(toQVariant(emptyArray, QUaArrayKind::Vector).userType(), qMetaTypeId<QVector<int>>());

    UA_DateTime ticks = 116444736000000000;
    UA_Variant utcTime;
    UA_Variant_setScalar(&utcTime, &ticks, &UA_TYPES[UA_TYPES_UTCTIME]);
    QCOMPARE(toQVariant(utcTime), QVariant(unixEpoch));
    UA_Variant utcTimes;
    UA_Variant_setArray(&utcTimes, &ticks, 1, &UA_TYPES[UA_TYPES_UTCTIME]);
    QVERIFY(toQVariant(utcTimes).isNull());

    UA_ExpandedNodeId expanded = UA_EXPANDEDNODEID_NUMERIC(0, 85);
    UA_Variant other;
    UA_Variant_setScalar(&other, &expanded, &UA_TYPES[UA_TYPES_EXPANDEDNODEID]);
    QVERIFY(toQVariant(other).isNull());

    // Strings from the stack keep their null / empty difference.
    UA_String nullString = UA_STRING_NULL;
    UA_Variant nullText;
    UA_Variant_setScalar(&nullText, &nullString, &UA_TYPES[UA_TYPES_STRING]);
    QCOMPARE(toQVariant(nullText).userType(), int(QMetaType::QString));
    QVERIFY(toQVariant(nullText).toString().isNull());
}

void TestQuaValueConverter::timeConversion()
{
    QCOMPARE(toUaDateTime(unixEpoch), UA_DateTime(116444736000000000));
    QCOMPARE(toUaDateTime(unixEpoch), UA_DATETIME_UNIX_EPOCH);
    const QDateTime zero(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC);
    QCOMPARE(toQDateTime(0), zero);
    QCOMPARE(toQDateTime(0).timeSpec(), Qt::UTC);
    QCOMPARE(toQDateTime(15), zero);
    QCOMPARE(toQDateTime(-15), zero);
    QCOMPARE(toQDateTime(-10000), zero.addMSecs(-1));
    QCOMPARE(toQDateTime(116444736000000000 + 12345678), unixEpoch.addMSecs(1234));

    // The stack's own clock agrees to the millisecond.
    const UA_DateTime stackNow = UA_DateTime_now();
    const qint64 difference = toQDateTime(stackNow).msecsTo(QDateTime::currentDateTimeUtc());
    QVERIFY(qAbs(difference) < 1000);

    // A local time is the same instant.
    const QDateTime local = unixEpoch.toLocalTime();
    QCOMPARE(toUaDateTime(local), UA_DATETIME_UNIX_EPOCH);

    // Times beyond OPC UA's range are clamped, not wrapped around.
    const QDateTime farFuture(QDate(40000, 1, 1), QTime(0, 0), Qt::UTC);
    const UA_DateTime clamped = toUaDateTime(farFuture);
    QVERIFY(clamped > 0);
    QVERIFY(std::numeric_limits<UA_DateTime>::max() - clamped < UA_DATETIME_MSEC);
    const QDateTime farPast(QDate(-40000, 1, 1), QTime(0, 0), Qt::UTC);
    QVERIFY(toUaDateTime(farPast) < 0);
    QVERIFY(toUaDateTime(QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::max() / 2,
                                                        Qt::UTC)) > 0);
}

void TestQuaValueConverter::stringsAndBytes()
{
    QString withNul = QStringLiteral("ab");
    withNul.append(QChar(0)).append(QStringLiteral("cd"));
    UA_String cut = toUaString(withNul);
    QCOMPARE(toQString(cut), QStringLiteral("ab"));
    UA_String_clear(&cut);

    UA_String utf8 = toUaString(QStringLiteral("Ä€"));
    QCOMPARE(utf8.length, size_t(5));
    QCOMPARE(toQString(utf8), QStringLiteral("Ä€"));
    UA_String_clear(&utf8);

    UA_String empty = toUaString(QString(""));
    QCOMPARE(empty.length, size_t(0));
    QVERIFY(!toQString(empty).isNull());
    UA_String_clear(&empty);

    const QByteArray bytes("\x00\xff\x10", 3);
    UA_ByteString copied = toUaByteString(bytes);
    QCOMPARE(copied.length, size_t(3));
    QVERIFY(copied.data != reinterpret_cast<const UA_Byte *>(bytes.constData()));
    QCOMPARE(toQByteArray(copied), bytes);
    UA_ByteString_clear(&copied);

    UA_ByteString nullBytes = toUaByteString(QByteArray());
    QVERIFY(nullBytes.data == nullptr);
    QVERIFY(toQByteArray(nullBytes).isNull());
    UA_ByteString emptyBytes = toUaByteString(QByteArray(""));
    QVERIFY(emptyBytes.data != nullptr);
    QVERIFY(!toQByteArray(emptyBytes).isNull());
    UA_ByteString_clear(&emptyBytes);
}

void TestQuaValueConverter::guidFieldByField()
{
    const QUuid uuid(QStringLiteral("{72962b91-fa75-4ae6-8d28-b404dc7daf63}"));
    const UA_Guid guid = toUaGuid(uuid);
    UA_Guid expected;
    QCOMPARE(UA_Guid_parse(&expected, UA_STRING_STATIC("72962b91-fa75-4ae6-8d28-b404dc7daf63")),
             UA_STATUSCODE_GOOD);
    QVERIFY(UA_Guid_equal(&guid, &expected));
    QCOMPARE(guid.data1, 0x72962b91u);
    QCOMPARE(guid.data4[7], UA_Byte(0x63));
    QCOMPARE(toQUuid(guid), uuid);
}

void TestQuaValueConverter::typeTables()
{
    const QStringList names{"Bool",
                            "Char",
                            "SChar",
                            "UChar",
                            "Short",
                            "UShort",
                            "Int",
                            "UInt",
                            "Long",
                            "LongLong",
                            "ULong",
                            "ULongLong",
                            "Float",
                            "Double",
                            "QString",
                            "QDateTime",
                            "QUuid",
                            "QByteArray",
                            "QVariant",
                            "UnknownType",
                            "QUaNodeId",
                            "QUaStatusCode",
                            "QUaQualifiedName",
                            "QUaLocalizedText"};
    for (const QString &name : names) {
        const QMetaType::Type type = qtTypeFromTypeName(name);
        QCOMPARE(typeNameFromQtType(type), name);
        QVERIFY(isSupportedQtType(type));
        QVERIFY(uaTypeFromQtType(type) != nullptr);
    }
    QCOMPARE(int(qtTypeFromTypeName("QUaNodeId")), qMetaTypeId<QUaNodeId>());
    QCOMPARE(qtTypeFromTypeName("Decimal"), QMetaType::UnknownType);
    QCOMPARE(typeNameFromQtType(QMetaType::QRect), QStringLiteral("UnknownType"));
    QVERIFY(!isSupportedQtType(QMetaType::QRect));
    QVERIFY(uaTypeFromQtType(QMetaType::QRect) == nullptr);

    QCOMPARE(uaTypeFromQtType(QMetaType::Long), &UA_TYPES[UA_TYPES_INT64]);
    QCOMPARE(uaTypeFromQtType(QMetaType::UnknownType), &UA_TYPES[UA_TYPES_VARIANT]);
    const UA_NodeId baseDataType = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATATYPE);
    UA_NodeId found = uaNodeIdFromQtType(QMetaType::QVariant);
    QVERIFY(UA_NodeId_equal(&found, &baseDataType));
    found = uaNodeIdFromQtType(QMetaType::QRect);
    QVERIFY(UA_NodeId_isNull(&found));

    // Reading back picks one Qt type per OPC UA type.
    const UA_NodeId int64 = UA_NODEID_NUMERIC(0, UA_NS0ID_INT64);
    const UA_NodeId utcTime = UA_NODEID_NUMERIC(0, UA_NS0ID_UTCTIME);
    const UA_NodeId statusCode = UA_NODEID_NUMERIC(0, UA_NS0ID_STATUSCODE);
    const UA_NodeId inOtherNamespace = UA_NODEID_NUMERIC(1, UA_NS0ID_INT64);
    QCOMPARE(qtTypeFromUaNodeId(&int64), QMetaType::Long);
    QCOMPARE(qtTypeFromUaNodeId(&utcTime), QMetaType::QDateTime);
    QCOMPARE(int(qtTypeFromUaNodeId(&statusCode)), qMetaTypeId<QUaStatusCode>());
    QCOMPARE(qtTypeFromUaNodeId(&inOtherNamespace), QMetaType::UnknownType);
    QCOMPARE(qtTypeFromUaNodeId(nullptr), QMetaType::UnknownType);

    QCOMPARE(qtTypeFromUaType(&UA_TYPES[UA_TYPES_SBYTE]), QMetaType::Char);
    QCOMPARE(qtTypeFromUaType(&UA_TYPES[UA_TYPES_UINT64]), QMetaType::ULong);
    QCOMPARE(int(qtTypeFromUaType(&UA_TYPES[UA_TYPES_LOCALIZEDTEXT])),
             qMetaTypeId<QUaLocalizedText>());
    QCOMPARE(qtTypeFromUaType(&UA_TYPES[UA_TYPES_UTCTIME]), QMetaType::UnknownType);
    QCOMPARE(qtTypeFromUaType(nullptr), QMetaType::UnknownType);
}

QTEST_GUILESS_MAIN(TestQuaValueConverter)
#include "tst_quavalueconverter.moc"
