#include "logmodel.h"

#include <QBrush>
#include <QDateTime>
#include <QTimer>
#include <algorithm>

namespace
{

constexpr int kKeptPendingRoom = 1024;

QColor levelColour(const QString &level)
{
    if (level == QLatin1String("warning"))
        return Qt::darkBlue;
    if (level == QLatin1String("critical"))
        return Qt::red;
    return Qt::black;
}

} // namespace

LogModel::LogModel(int capacity, QObject *parent)
    : QAbstractListModel(parent), m_capacity(std::max(1, capacity))
{
}

void LogModel::append(qint64 localMs, const QString &level, const QString &text,
                      const QString &where)
{
    m_pending.append({localMs, level, text, where});
    // A ring's worth waiting goes at once: the view would drop older ones anyway.
    if (m_pending.size() >= m_capacity) {
        flush();
        return;
    }
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QTimer::singleShot(kFlushIntervalMs, this, &LogModel::flush);
}

void LogModel::flush()
{
    m_flushQueued = false;
    if (m_pending.isEmpty())
        return;
    const int incoming = m_pending.size();
    dropOldest(m_shown + incoming - m_capacity);
    if (m_ring.size() < m_capacity)
        m_ring.reserve(std::min(m_capacity, m_ring.size() + incoming));
    beginInsertRows(QModelIndex(), m_shown, m_shown + incoming - 1);
    for (Entry &entry : m_pending) {
        const int slot = (m_first + m_shown) % m_capacity;
        if (slot < m_ring.size())
            m_ring[slot] = std::move(entry);
        else
            m_ring.append(std::move(entry));
        ++m_shown;
    }
    // A burst's worth of room is not kept for the quiet times after it.
    if (m_pending.capacity() > kKeptPendingRoom)
        m_pending = {};
    else
        m_pending.clear();
    endInsertRows();
}

void LogModel::dropOldest(int count)
{
    count = std::min(count, m_shown);
    if (count <= 0)
        return;
    beginRemoveRows(QModelIndex(), 0, count - 1);
    for (int i = 0; i < count; ++i)
        m_ring[(m_first + i) % m_capacity] = Entry{};
    m_first = (m_first + count) % m_capacity;
    m_shown -= count;
    endRemoveRows();
}

void LogModel::clear()
{
    beginResetModel();
    m_ring = {};
    m_pending.clear();
    m_first = 0;
    m_shown = 0;
    endResetModel();
}

int LogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_shown;
}

const LogModel::Entry &LogModel::entryAt(int row) const
{
    return m_ring.at((m_first + row) % m_capacity);
}

QVariant LogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shown)
        return QVariant();
    const Entry &entry = entryAt(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return QLatin1Char('[') + entry.level + QStringLiteral("] ") +
               QDateTime::fromMSecsSinceEpoch(entry.localMs, Qt::UTC)
                   .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) +
               QStringLiteral(" > ") + entry.text;
    case Qt::ForegroundRole:
        return QBrush(levelColour(entry.level));
    case LevelRole:
        return entry.level;
    case MessageRole:
        return entry.text;
    case WhereRole:
        return entry.where;
    default:
        return QVariant();
    }
}
