#include "qualocalizedtext.h"

#include <QStringList>

#include "quavalueconverter.h"

QUaLocalizedText::QUaLocalizedText(const QString &locale, const QString &text)
    : m_locale(locale), m_text(text)
{
}

QUaLocalizedText::QUaLocalizedText(const char *locale, const char *text)
    : m_locale(QString::fromUtf8(locale)), m_text(QString::fromUtf8(text))
{
}

QUaLocalizedText::QUaLocalizedText(const UA_LocalizedText &localizedText)
    : m_locale(QUaValueConverter::toQString(localizedText.locale)),
      m_text(QUaValueConverter::toQString(localizedText.text))
{
}

// Text form "l=<locale>;t=<text>"; anything else is taken whole as the text.
QUaLocalizedText::QUaLocalizedText(const QString &text) : m_text(text)
{
    const QStringList parts = text.split(QLatin1Char(';'));
    if (parts.size() != 2 || !parts.last().contains(QLatin1String("t=")))
        return;
    m_locale = parts.first().contains(QLatin1String("l="))
                   ? parts.first().section(QLatin1Char('='), 1, 1)
                   : QString();
    m_text = parts.last().section(QLatin1Char('='), 1, 1);
}

QUaLocalizedText::QUaLocalizedText(const char *text) : QUaLocalizedText(QString::fromUtf8(text)) {}

QString QUaLocalizedText::toString() const
{
    if (m_locale.isEmpty())
        return m_text;
    return QStringLiteral("l=%1;t=%2").arg(m_locale, m_text);
}

QUaLocalizedText::operator UA_LocalizedText() const
{
    UA_LocalizedText localizedText;
    localizedText.locale = QUaValueConverter::toUaString(m_locale);
    localizedText.text = QUaValueConverter::toUaString(m_text);
    return localizedText;
}

bool QUaLocalizedText::operator==(const QUaLocalizedText &other) const
{
    return m_locale == other.m_locale && m_text == other.m_text;
}

bool QUaLocalizedText::operator<(const QUaLocalizedText &other) const
{
    if (m_locale != other.m_locale)
        return m_locale < other.m_locale;
    return m_text < other.m_text;
}
