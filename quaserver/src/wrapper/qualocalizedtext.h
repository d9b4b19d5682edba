#ifndef QUALOCALIZEDTEXT_H
#define QUALOCALIZEDTEXT_H

#include <QList>
#include <QMetaType>
#include <QString>

#include <open62541/types.h>

// A display text with its locale. Text form "l=<locale>;t=<text>", or the bare
// text when the locale is empty.
class QUaLocalizedText
{
public:
    QUaLocalizedText() = default;
    QUaLocalizedText(const QString &locale, const QString &text);
    QUaLocalizedText(const char *locale, const char *text);
    QUaLocalizedText(const UA_LocalizedText &localizedText);
    // Parses the text form; any other text is the text with an empty locale.
    QUaLocalizedText(const QString &text);
    QUaLocalizedText(const char *text);

    QString locale() const { return m_locale; }
    void setLocale(const QString &locale) { m_locale = locale; }
    QString text() const { return m_text; }
    void setText(const QString &text) { m_text = text; }

    QString toString() const;

    // Both strings as UTF-8; the caller owns the result (UA_LocalizedText_clear).
    operator UA_LocalizedText() const;

    bool operator==(const QUaLocalizedText &other) const;
    bool operator!=(const QUaLocalizedText &other) const { return !(*this == other); }
    bool operator<(const QUaLocalizedText &other) const;

private:
    QString m_locale;
    QString m_text;
};

Q_DECLARE_METATYPE(QUaLocalizedText)

#endif // QUALOCALIZEDTEXT_H
