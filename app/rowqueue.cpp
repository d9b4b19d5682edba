#include "rowqueue.h"

#include <algorithm>

namespace
{

constexpr int kSliceMs = 8;
constexpr int kProgressIntervalMs = 1000;

} // namespace

RowQueue::RowQueue(RowHandler loadRow, StoredHandler logStored, QObject *parent)
    : QObject(parent), m_loadRow(std::move(loadRow)), m_logStored(std::move(logStored))
{
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &RowQueue::runSlice);
}

void RowQueue::addRows(const TagRows &rows, bool wholeTable)
{
    if (wholeTable)
        dropWaitingRows();
    if (rows.isEmpty())
        return;
    m_rows += rows;
    m_batchEnds.append({m_rows.size(), ++m_clock});
    workInSlices();
}

void RowQueue::addStored(const StoredValues &values)
{
    m_stored += values;
    workInSlices();
}

// Only writes that rows still waiting could overwrite are remembered.
void RowQueue::clientWrote(const QString &key)
{
    if (m_rowsNext < m_rows.size())
        m_clientWrites.insert(key, ++m_clock);
}

void RowQueue::workInSlices()
{
    if (m_timer.isActive())
        return;
    m_sinceProgress.start();
    m_timer.start();
}

// Rows change what clients see: they get at least half of every slice.
void RowQueue::runSlice()
{
    QElapsedTimer slice;
    slice.start();
    const int rowsMs = m_storedNext < m_stored.size() ? kSliceMs / 2 : kSliceMs;
    while (m_rowsNext < m_rows.size() && !slice.hasExpired(rowsMs))
        loadNextRow();
    while (m_storedNext < m_stored.size() && !slice.hasExpired(kSliceMs))
        m_logStored(m_stored.at(m_storedNext++));
    if (m_storedNext == m_stored.size()) {
        m_stored.clear();
        m_storedNext = 0;
    }
    if (!m_stored.isEmpty())
        return;
    if (m_rowsNext < m_rows.size()) {
        if (m_sinceProgress.hasExpired(kProgressIntervalMs)) {
            m_sinceProgress.restart();
            emit progress(m_rowsNext, m_rows.size());
        }
        return;
    }
    m_timer.stop();
    finishRows();
    emit drained();
}

void RowQueue::loadNextRow()
{
    const int index = m_rowsNext++;
    while (m_batchEnds.at(m_batchNext).first <= index)
        ++m_batchNext;
    const TagRow &row = m_rows.at(index);
    const auto written = m_clientWrites.constFind(row.key);
    if (written == m_clientWrites.constEnd() ||
        written.value() < m_batchEnds.at(m_batchNext).second)
        m_loadRow(row);
}

// Batches keep their moments; those past the last row handed on end empty.
void RowQueue::dropWaitingRows()
{
    m_rows.resize(m_rowsNext);
    for (QPair<int, quint64> &batchEnd : m_batchEnds)
        batchEnd.first = std::min(batchEnd.first, m_rowsNext);
}

void RowQueue::finishRows()
{
    m_rows.clear();
    m_rowsNext = 0;
    m_batchEnds.clear();
    m_batchNext = 0;
    m_clientWrites.clear();
}
