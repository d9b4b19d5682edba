#include "mysqltablemodelresult.h"

#include <QBrush>
#include <QSet>
#include <algorithm>
#include <iterator>

namespace
{

const char *const kHeaders[kTagsColumnCount] = {"id",   "number",      "key",   "value",
                                                "type", "description", "format"};

// Batches that move, add or remove more rows than this are merged into the
// rows in one pass, instead of shifting the rows after each one.
constexpr int kRowByRowLimit = 8;

} // namespace

MySqlTableModelResult::MySqlTableModelResult(QObject *parent) : QAbstractTableModel(parent) {}

int MySqlTableModelResult::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int MySqlTableModelResult::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kTagsColumnCount;
}

QVariant MySqlTableModelResult::data(const QModelIndex &index, int role) const
{
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    if (role == Qt::ForegroundRole)
        return QBrush(Qt::black);
    if (!index.isValid() || index.row() >= m_rows.size() ||
        (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return m_rows.at(index.row()).cell(index.column());
}

QVariant MySqlTableModelResult::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kTagsColumnCount)
        return QString::fromLatin1(kHeaders[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

// The id column orders by the id alone; any other by its text, then the id.
QString MySqlTableModelResult::sortKey(const TagRow &row) const
{
    return m_sortColumn == kIdColumn ? QString() : row.cell(m_sortColumn);
}

// Equal keys keep the rows in the order of their ids.
bool MySqlTableModelResult::before(const QString &keyA, qint64 idA, const QString &keyB,
                                   qint64 idB) const
{
    int order = keyA.compare(keyB);
    if (order == 0)
        order = idA < idB ? -1 : (idA > idB ? 1 : 0);
    return m_sortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
}

bool MySqlTableModelResult::inOrder(const TagRow &a, const TagRow &b) const
{
    return before(sortKey(a), a.id, sortKey(b), b.id);
}

void MySqlTableModelResult::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= kTagsColumnCount)
        return;
    changeLayout([this, column, order] {
        m_sortColumn = column;
        m_sortOrder = order;
        std::sort(m_rows.begin(), m_rows.end(),
                  [this](const TagRow &a, const TagRow &b) { return inOrder(a, b); });
        rebuildKeys();
    });
}

// Rows change places as one change of the layout: the view's current cell
// and selection stay on their rows.
void MySqlTableModelResult::changeLayout(const std::function<void()> &change)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    QVector<qint64> persistentIds;
    for (const QModelIndex &index : persistent)
        persistentIds << idOfRow(index.row());
    change();
    QModelIndexList moved;
    for (int i = 0; i < persistent.size(); ++i)
        moved << index(rowOfId(persistentIds[i]), persistent[i].column());
    changePersistentIndexList(persistent, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void MySqlTableModelResult::rebuildKeys()
{
    m_sortKeyOfId.clear();
    m_sortKeyOfId.reserve(m_rows.size());
    for (const TagRow &row : qAsConst(m_rows))
        m_sortKeyOfId.insert(row.id, sortKey(row));
}

qint64 MySqlTableModelResult::idOfRow(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).id : -1;
}

int MySqlTableModelResult::rowOfId(qint64 id) const
{
    const auto key = m_sortKeyOfId.constFind(id);
    if (key == m_sortKeyOfId.constEnd())
        return -1;
    const int place = placeFor(key.value(), id);
    return place < m_rows.size() && m_rows.at(place).id == id ? place : -1;
}

// The first row that does not come before this key and id.
int MySqlTableModelResult::placeFor(const QString &key, qint64 id) const
{
    const auto place = std::partition_point(m_rows.begin(), m_rows.end(), [&](const TagRow &row) {
        return before(sortKey(row), row.id, key, id);
    });
    return int(place - m_rows.begin());
}

// Rows whose sort key stays are changed in place; the others move, one by
// one when they are few, else merged in one pass over the rows.
void MySqlTableModelResult::applyRows(const TagRows &rows)
{
    TagRows moving;
    QVector<ChangedCells> changed;
    for (const TagRow &row : latestOfEachId(rows)) {
        const int held = rowOfId(row.id);
        if (held < 0 || m_sortKeyOfId.value(row.id) != sortKey(row)) {
            moving << row;
            continue;
        }
        changed << ChangedCells{held, changedColumns(m_rows.at(held), row)};
        m_rows[held] = row;
    }
    reportChanged(changed);
    if (moving.size() > kRowByRowLimit) {
        mergeRows(std::move(moving));
        return;
    }
    for (const TagRow &row : qAsConst(moving))
        moveRow(row);
}

// A few changed rows are reported cell by cell: a view repaints a single
// changed cell alone, but its whole viewport for a range, which for a value
// written every few milliseconds cost the GUI thread more than the rest of the
// write. Many changed rows are reported as one span: a view handles every
// signal on its own.
void MySqlTableModelResult::reportChanged(const QVector<ChangedCells> &rows)
{
    if (rows.size() <= kRowByRowLimit) {
        for (const ChangedCells &row : rows)
            for (int column = 0; column < kTagsColumnCount; ++column)
                if (row.columns & (1u << column))
                    emit dataChanged(index(row.row, column), index(row.row, column));
        return;
    }
    const auto byRow = [](const ChangedCells &a, const ChangedCells &b) { return a.row < b.row; };
    const auto span = std::minmax_element(rows.begin(), rows.end(), byRow);
    emit dataChanged(index(span.first->row, 0), index(span.second->row, kTagsColumnCount - 1));
}

unsigned MySqlTableModelResult::changedColumns(const TagRow &before, const TagRow &after)
{
    unsigned columns = 0;
    for (int column = 0; column < kTagsColumnCount; ++column)
        if (before.cell(column) != after.cell(column))
            columns |= 1u << column;
    return columns;
}

// A batch may hold several versions of a row: the last one counts.
TagRows MySqlTableModelResult::latestOfEachId(const TagRows &rows) const
{
    QHash<qint64, int> last;
    last.reserve(rows.size());
    for (int i = 0; i < rows.size(); ++i)
        last.insert(rows.at(i).id, i);
    if (last.size() == rows.size())
        return rows;
    TagRows latest;
    for (int i = 0; i < rows.size(); ++i)
        if (last.value(rows.at(i).id) == i)
            latest << rows.at(i);
    return latest;
}

void MySqlTableModelResult::moveRow(const TagRow &row)
{
    const int held = rowOfId(row.id);
    if (held >= 0)
        removeAt(held);
    const QString key = sortKey(row);
    const int place = placeFor(key, row.id);
    beginInsertRows(QModelIndex(), place, place);
    m_rows.insert(place, row);
    m_sortKeyOfId.insert(row.id, key);
    endInsertRows();
}

// The moving rows leave their places and are merged back sorted: as a change
// of the layout when all of them were there already, else as a reset, since
// a layout change cannot add rows.
void MySqlTableModelResult::mergeRows(TagRows rows)
{
    const bool allHeld = std::all_of(rows.begin(), rows.end(), [this](const TagRow &row) {
        return m_sortKeyOfId.contains(row.id);
    });
    if (allHeld) {
        changeLayout([this, &rows] { mergeIntoRows(rows); });
        return;
    }
    beginResetModel();
    mergeIntoRows(rows);
    endResetModel();
}

void MySqlTableModelResult::mergeIntoRows(TagRows &rows)
{
    QSet<qint64> moving;
    for (const TagRow &row : qAsConst(rows))
        if (m_sortKeyOfId.contains(row.id))
            moving.insert(row.id);
    if (!moving.isEmpty())
        m_rows.erase(
            std::remove_if(m_rows.begin(), m_rows.end(),
                           [&moving](const TagRow &row) { return moving.contains(row.id); }),
            m_rows.end());
    const auto order = [this](const TagRow &a, const TagRow &b) { return inOrder(a, b); };
    std::sort(rows.begin(), rows.end(), order);
    for (const TagRow &row : qAsConst(rows))
        m_sortKeyOfId.insert(row.id, sortKey(row));
    TagRows merged;
    merged.reserve(m_rows.size() + rows.size());
    std::merge(m_rows.begin(), m_rows.end(), rows.begin(), rows.end(), std::back_inserter(merged),
               order);
    m_rows.swap(merged);
}

void MySqlTableModelResult::removeRowsById(const TagRowIds &ids)
{
    if (ids.size() <= kRowByRowLimit) {
        for (const qint64 id : ids) {
            const int row = rowOfId(id);
            if (row >= 0)
                removeAt(row);
        }
        return;
    }
    const QSet<qint64> gone(ids.begin(), ids.end());
    beginResetModel();
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(),
                                [&gone](const TagRow &row) { return gone.contains(row.id); }),
                 m_rows.end());
    for (const qint64 id : gone)
        m_sortKeyOfId.remove(id);
    endResetModel();
}

void MySqlTableModelResult::removeAt(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    m_sortKeyOfId.remove(m_rows.at(row).id);
    m_rows.remove(row);
    endRemoveRows();
}
