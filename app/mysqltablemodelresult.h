#ifndef MYSQLTABLEMODELRESULT_H
#define MYSQLTABLEMODELRESULT_H

#include "tagrow.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <functional>

// The window's model of the tags table: the rows the tag store reports, kept
// in the order the view asked for and refreshed row by row, with every cell
// drawn centred and black. It runs no SQL; edits go through the store.
class MySqlTableModelResult : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit MySqlTableModelResult(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    Q_INVOKABLE QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The id of a row, and the row of an id (-1 when no row has it).
    qint64 idOfRow(int row) const;
    int rowOfId(qint64 id) const;

public slots:
    void applyRows(const TagRows &rows);
    void removeRowsById(const TagRowIds &ids);

private:
    QString sortKey(const TagRow &row) const;
    bool before(const QString &keyA, qint64 idA, const QString &keyB, qint64 idB) const;
    bool inOrder(const TagRow &a, const TagRow &b) const;
    int placeFor(const QString &key, qint64 id) const;
    TagRows latestOfEachId(const TagRows &rows) const;
    // A row of the model and the columns of it that changed, one bit each.
    struct ChangedCells {
        int row;
        unsigned columns;
    };
    void reportChanged(const QVector<ChangedCells> &rows);
    static unsigned changedColumns(const TagRow &before, const TagRow &after);
    void moveRow(const TagRow &row);
    void mergeRows(TagRows rows);
    void mergeIntoRows(TagRows &rows);
    void removeAt(int row);
    void rebuildKeys();
    void changeLayout(const std::function<void()> &change);

    TagRows m_rows;
    int m_sortColumn = kIdColumn;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    // The sort key of every row by id: with it a row is found by binary search,
    // and rows that come or go change no other row's entry.
    QHash<qint64, QString> m_sortKeyOfId;
};

#endif // MYSQLTABLEMODELRESULT_H
