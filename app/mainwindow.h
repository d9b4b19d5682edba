#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "gatewaypaths.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QPair>
#include <QPointer>

class QClipboard;
class QTableView;
class cInternalFunctions;
class LogModel;
class MySqlTableModelResult;

QT_BEGIN_NAMESPACE
namespace Ui
{
class MainWindow;
}
QT_END_NAMESPACE

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr,
                        const GatewayPaths &paths = GatewayPaths::besideExecutable());
    ~MainWindow() override;

    QPair<MySqlTableModelResult *, QTableView *> buildTableView(const QString &tableName,
                                                                bool tableEnable);

private slots:
    void db_updateData();
    void slot_view_clicked(const QModelIndex &index);
    void slot_TableSelectionClicked(int logicalIndex);
    void slot_CloseWhenJsonBad();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_btnClean_clicked();
    void on_btnApply_clicked();
    void slot_SQL_availabilityChanged(bool available);
    void slot_SQL_cellEditRefused(qint64 id, const QString &error);

private:
    void setUpLogView();
    void setUpFonts();
    void setUpLinkLabel(const QFont &font);
    void startGateway();
    void setUpTableView(QTableView *view);
    void followTagStore(MySqlTableModelResult *model);
    void showOpcUaNotServed();
    void refuseEdit(const QString &reason);

    Ui::MainWindow *ui;
    LogModel *m_logModel = nullptr; // a child; outlives the core, which writes to it
    // Whether the log view showed its last line before new lines came.
    bool m_logAtEnd = true;
    cInternalFunctions *m_core = nullptr;
    QTableView *m_view = nullptr;
    MySqlTableModelResult *m_model = nullptr;
    QClipboard *m_clipboard = nullptr;
    // The cell the edit frame was opened on, by its row's id, so the edit
    // lands there whatever the view does meanwhile.
    qint64 m_editId = -1;
    int m_editColumn = -1;
    bool m_databaseAvailable = false;
};

#endif // MAINWINDOW_H
