#ifndef MYSQLTABLEMODELRESULT_H
#define MYSQLTABLEMODELRESULT_H

#include <QSqlDatabase>
#include <QSqlTableModel>

// The model of the tags table: QSqlTableModel's values, edits and sorting, with
// every cell drawn centred and black.
class MySqlTableModelResult : public QSqlTableModel
{
    Q_OBJECT

public:
    MySqlTableModelResult(QObject *parent, QSqlDatabase db);

    Q_INVOKABLE QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
};

#endif // MYSQLTABLEMODELRESULT_H
