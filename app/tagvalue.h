#ifndef TAGVALUE_H
#define TAGVALUE_H

#include <QString>
#include <QVariant>

// The one conversion between a tag's value and the text of its rows, for every
// Format, both ways: the text a value is written as reads back as the same
// value.

// The data type a tag's Format names, or QMetaType::UnknownType.
int tagFormatType(const QString &format);

// A row's text as a value of the tag's type, or an invalid variant when the
// text is not exactly such a value: integers in range without a fraction,
// numbers as the C locale writes them, true/false/1/0, and ISO 8601 times with
// milliseconds. Any text is a String.
QVariant exactValueOf(const QString &text, int type);

// A value as its row holds it: integers (one-byte ones too) as numbers,
// floating-point numbers in the shortest text that reads back exactly,
// booleans as true/false, times as ISO 8601 with milliseconds.
QString rowTextOf(const QVariant &value);

#endif // TAGVALUE_H
