#include "mysqltablemodelresult.h"

#include <QBrush>

MySqlTableModelResult::MySqlTableModelResult(QObject *parent, QSqlDatabase db)
    : QSqlTableModel(parent, db)
{
}

QVariant MySqlTableModelResult::data(const QModelIndex &index, int role) const
{
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    if (role == Qt::ForegroundRole)
        return QBrush(Qt::black);
    return QSqlTableModel::data(index, role);
}
