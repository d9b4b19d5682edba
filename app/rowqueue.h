#ifndef ROWQUEUE_H
#define ROWQUEUE_H

#include "tagrow.h"
#include "tagstore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <functional>

// Rows the tag store read and values it stored wait here and are handed on a
// few milliseconds at a time, so large loads never stall the window and
// clients are served between slices. For each key the change the gateway saw
// last wins: a row that came before a client's write to its key is dropped.
class RowQueue : public QObject
{
    Q_OBJECT

public:
    using RowHandler = std::function<void(const TagRow &)>;
    using StoredHandler = std::function<void(const StoredValue &)>;

    RowQueue(RowHandler loadRow, StoredHandler logStored, QObject *parent = nullptr);

    // A read of the whole table takes the place of the rows still waiting:
    // it is newer than all of them.
    void addRows(const TagRows &rows, bool wholeTable = false);
    void addStored(const StoredValues &values);
    void clientWrote(const QString &key);

signals:
    // A long load, now and then: rows handed on of all queued.
    void progress(int done, int total);
    // Everything queued was handed on.
    void drained();

private:
    void workInSlices();
    void runSlice();
    void loadNextRow();
    void dropWaitingRows();
    void finishRows();

    const RowHandler m_loadRow;
    const StoredHandler m_logStored;
    TagRows m_rows;
    int m_rowsNext = 0;
    // Where each batch of m_rows ends, with the moment it came.
    QVector<QPair<int, quint64>> m_batchEnds;
    int m_batchNext = 0;
    // The moment of each key's last client write while rows wait.
    QHash<QString, quint64> m_clientWrites;
    quint64 m_clock = 0;
    StoredValues m_stored;
    int m_storedNext = 0;
    QTimer m_timer;
    QElapsedTimer m_sinceProgress;
};

#endif // ROWQUEUE_H
