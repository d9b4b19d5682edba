#include "tagvalue.h"

#include <QDateTime>
#include <QLocale>
#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace
{

// The data type names a tag's "Format" may give.
struct TagFormat {
    const char *name;
    QMetaType::Type type;
};
const TagFormat kTagFormats[] = {
    {"Boolean", QMetaType::Bool},       {"Int32", QMetaType::Int},
    {"UInt32", QMetaType::UInt},        {"Double", QMetaType::Double},
    {"Int64", QMetaType::Long},         {"Int16", QMetaType::Short},
    {"SByte", QMetaType::Char},         {"UInt64", QMetaType::ULong},
    {"UInt16", QMetaType::UShort},      {"Byte", QMetaType::UChar},
    {"Float", QMetaType::Float},        {"String", QMetaType::QString},
    {"DateTime", QMetaType::QDateTime},
};

template <typename T> QVariant exactInteger(const QString &text, int type)
{
    bool ok = false;
    T number = 0;
    if constexpr (std::is_signed<T>::value) {
        const qlonglong read = QLocale::c().toLongLong(text, &ok);
        ok = ok && read >= std::numeric_limits<T>::min() && read <= std::numeric_limits<T>::max();
        number = T(read);
    } else {
        const qulonglong read = QLocale::c().toULongLong(text, &ok);
        ok = ok && !text.startsWith(QLatin1Char('-')) && read <= std::numeric_limits<T>::max();
        number = T(read);
    }
    return ok ? QVariant(type, &number) : QVariant();
}

QVariant exactNumber(const QString &text, int type)
{
    bool ok = false;
    const double number = QLocale::c().toDouble(text, &ok);
    if (!ok)
        return QVariant();
    if (type == QMetaType::Double)
        return number;
    // A number that rounds to the largest float still fits.
    const bool fits = !qIsFinite(number) || std::isfinite(float(number));
    return fits ? QVariant(float(number)) : QVariant();
}

QVariant exactBoolean(const QString &text)
{
    const QString word = text.toLower();
    if (word == QLatin1String("true") || word == QLatin1String("1"))
        return true;
    if (word == QLatin1String("false") || word == QLatin1String("0"))
        return false;
    return QVariant();
}

// The shortest text that reads back as the same number; Qt would widen a
// float to a double first and write the double's digits.
template <typename T> QString shortestText(T number)
{
    if (std::isnan(number))
        return QStringLiteral("nan");
    if (std::isinf(number))
        return number < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    char text[64];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, number);
    return QString::fromLatin1(text, int(written.ptr - text));
}

} // namespace

int tagFormatType(const QString &format)
{
    for (const TagFormat &known : kTagFormats) {
        if (format == QLatin1String(known.name))
            return known.type;
    }
    return QMetaType::UnknownType;
}

QVariant exactValueOf(const QString &text, int type)
{
    const QString trimmed = text.trimmed();
    switch (type) {
    case QMetaType::Bool:
        return exactBoolean(trimmed);
    case QMetaType::Char:
        return exactInteger<signed char>(trimmed, type);
    case QMetaType::UChar:
        return exactInteger<uchar>(trimmed, type);
    case QMetaType::Short:
        return exactInteger<short>(trimmed, type);
    case QMetaType::UShort:
        return exactInteger<ushort>(trimmed, type);
    case QMetaType::Int:
        return exactInteger<int>(trimmed, type);
    case QMetaType::UInt:
        return exactInteger<uint>(trimmed, type);
    case QMetaType::Long:
        return exactInteger<long>(trimmed, type);
    case QMetaType::ULong:
        return exactInteger<ulong>(trimmed, type);
    case QMetaType::Float:
    case QMetaType::Double:
        return exactNumber(trimmed, type);
    case QMetaType::QDateTime: {
        const QDateTime time = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
        return time.isValid() ? QVariant(time) : QVariant();
    }
    default:
        return text;
    }
}

QString rowTextOf(const QVariant &value)
{
    switch (int(value.type())) {
    case QMetaType::Char:
    case QMetaType::SChar:
        return QString::number(value.toInt());
    case QMetaType::UChar:
        return QString::number(value.toUInt());
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Float:
        return shortestText(value.toFloat());
    case QMetaType::Double:
        return shortestText(value.toDouble());
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODateWithMs);
    default:
        return value.toString();
    }
}
