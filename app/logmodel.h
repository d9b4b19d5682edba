#ifndef LOGMODEL_H
#define LOGMODEL_H

#include <QAbstractListModel>
#include <QString>
#include <QVector>

// The window's log: a bounded ring of compact entries shown one row each as
// "[level] <local time> > text", coloured by level. Entries reach the view in
// one batch at most every kFlushIntervalMs, so a burst of lines costs the view
// one insertion and one repaint.
class LogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role { LevelRole = Qt::UserRole, MessageRole, WhereRole };

    // The oldest entries go past this many.
    static constexpr int kDefaultCapacity = 50000;
    // Entries reach the view at most this often: every insertion repaints
    // the view, which costs the GUI thread far more than the entries do.
    static constexpr int kFlushIntervalMs = 50;

    explicit LogModel(int capacity = kDefaultCapacity, QObject *parent = nullptr);

    // localMs: the local time as milliseconds since the epoch, read as UTC.
    void append(qint64 localMs, const QString &level, const QString &text, const QString &where);
    // Hands the appended entries to the view now rather than with the next batch.
    void flush();
    void clear();
    int capacity() const { return m_capacity; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    struct Entry {
        qint64 localMs;
        QString level;
        QString text;
        QString where;
    };

    const Entry &entryAt(int row) const;
    void dropOldest(int count);

    const int m_capacity;
    // A ring: the oldest shown entry is at m_first, rows follow it.
    QVector<Entry> m_ring;
    int m_first = 0;
    int m_shown = 0;
    QVector<Entry> m_pending;
    bool m_flushQueued = false;
};

#endif // LOGMODEL_H
