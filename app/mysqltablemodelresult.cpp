#include "mysqltablemodelresult.h"

#include <QBrush>
#include <QSet>
#include <algorithm>

namespace
{

const char *const kHeaders[kTagsColumnCount] = {"id",   "number",      "key",   "value",
                                                "type", "description", "format"};

// Batches with more new or removed rows than this are merged into the rows
// and the view is reset once, instead of moving the rows after each one.
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

// Ids compare as numbers, every other column as text; equal cells keep the
// rows in the order of their ids.
bool MySqlTableModelResult::inOrder(const TagRow &a, const TagRow &b) const
{
    int order = 0;
    if (m_sortColumn != kIdColumn)
        order = a.cell(m_sortColumn).compare(b.cell(m_sortColumn));
    if (order == 0)
        order = a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
    return m_sortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
}

void MySqlTableModelResult::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= kTagsColumnCount)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    m_sortColumn = column;
    m_sortOrder = order;
    std::sort(m_rows.begin(), m_rows.end(),
              [this](const TagRow &a, const TagRow &b) { return inOrder(a, b); });
    m_rowOfIdValid = false;
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

qint64 MySqlTableModelResult::idOfRow(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).id : -1;
}

int MySqlTableModelResult::rowOfId(qint64 id) const
{
    if (!m_rowOfIdValid) {
        m_rowOfId.clear();
        m_rowOfId.reserve(m_rows.size());
        for (int row = 0; row < m_rows.size(); ++row)
            m_rowOfId.insert(m_rows.at(row).id, row);
        m_rowOfIdValid = true;
    }
    return m_rowOfId.value(id, -1);
}

int MySqlTableModelResult::placeFor(const TagRow &row) const
{
    const auto place =
        std::lower_bound(m_rows.begin(), m_rows.end(), row,
                         [this](const TagRow &a, const TagRow &b) { return inOrder(a, b); });
    return int(place - m_rows.begin());
}

void MySqlTableModelResult::applyRows(const TagRows &rows)
{
    int newRows = 0;
    for (const TagRow &row : rows)
        newRows += rowOfId(row.id) < 0 ? 1 : 0;
    if (newRows > kRowByRowLimit) {
        resetWith(rows);
        return;
    }
    for (const TagRow &row : rows)
        applyRow(row);
}

// A changed row stays in place unless the cell the view is ordered by changed.
void MySqlTableModelResult::applyRow(const TagRow &row)
{
    const int held = rowOfId(row.id);
    if (held >= 0 && m_rows.at(held).cell(m_sortColumn) == row.cell(m_sortColumn)) {
        m_rows[held] = row;
        emit dataChanged(index(held, 0), index(held, kTagsColumnCount - 1));
        return;
    }
    if (held >= 0)
        removeAt(held);
    const int place = placeFor(row);
    beginInsertRows(QModelIndex(), place, place);
    m_rows.insert(place, row);
    m_rowOfIdValid = false;
    endInsertRows();
}

void MySqlTableModelResult::resetWith(const TagRows &rows)
{
    beginResetModel();
    for (const TagRow &row : rows) {
        const int held = rowOfId(row.id);
        if (held >= 0)
            m_rows[held] = row;
        else
            m_rows.append(row);
    }
    std::sort(m_rows.begin(), m_rows.end(),
              [this](const TagRow &a, const TagRow &b) { return inOrder(a, b); });
    m_rowOfIdValid = false;
    endResetModel();
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
    m_rowOfIdValid = false;
    endResetModel();
}

void MySqlTableModelResult::removeAt(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.remove(row);
    m_rowOfIdValid = false;
    endRemoveRows();
}
