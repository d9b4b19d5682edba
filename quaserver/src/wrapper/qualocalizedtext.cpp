#include "qualocalizedtext.h"

QUaLocalizedText::QUaLocalizedText(const QString &locale, const QString &text)
    : m_locale(locale), m_text(text)
{
}
QUaLocalizedText::QUaLocalizedText(const char *, const char *) {}
QUaLocalizedText::QUaLocalizedText(const UA_LocalizedText &) {}
QUaLocalizedText::QUaLocalizedText(const QString &) {}
QUaLocalizedText::QUaLocalizedText(const char *) {}
QString QUaLocalizedText::toString() const
{
    return QString();
}
QUaLocalizedText::operator UA_LocalizedText() const
{
    return UA_LocalizedText{};
}
bool QUaLocalizedText::operator==(const QUaLocalizedText &other) const
{
    return m_locale == other.m_locale && m_text == other.m_text;
}
bool QUaLocalizedText::operator<(const QUaLocalizedText &) const
{
    return false;
}
