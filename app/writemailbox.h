#ifndef WRITEMAILBOX_H
#define WRITEMAILBOX_H

#include "writejournal.h"

#include <QHash>
#include <QMutex>
#include <QStringList>

// Clients' values on their way from the GUI thread to the tag store: the
// latest per key, in the order the keys first arrived, so a store that is
// blocked never holds more than one value per tag.
class WriteMailbox
{
public:
    // True when the mailbox was empty: the reader needs waking up.
    bool post(const QString &key, const QString &text)
    {
        const QMutexLocker lock(&m_mutex);
        const bool wasEmpty = m_keys.isEmpty();
        if (!m_values.contains(key))
            m_keys.append(key);
        m_values.insert(key, text);
        return wasEmpty;
    }

    KeyValues take()
    {
        const QMutexLocker lock(&m_mutex);
        KeyValues values;
        values.reserve(m_keys.size());
        for (const QString &key : qAsConst(m_keys))
            values.append({key, m_values.value(key)});
        m_keys.clear();
        m_values.clear();
        return values;
    }

private:
    QMutex m_mutex;
    QStringList m_keys;
    QHash<QString, QString> m_values;
};

#endif // WRITEMAILBOX_H
