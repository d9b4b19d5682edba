#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QModelIndex>
#include <QPair>

class QClipboard;
class QTableView;
class cInternalFunctions;
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
    explicit MainWindow(QWidget *parent = nullptr);
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

private:
    void setUpFonts();
    void setUpLinkLabel(const QFont &font);
    void startGateway();
    void setUpTableView(QTableView *view);

    Ui::MainWindow *ui;
    cInternalFunctions *m_core = nullptr;
    QTableView *m_view = nullptr;
    QClipboard *m_clipboard = nullptr;
    QModelIndex m_editIndex;
};

#endif // MAINWINDOW_H
