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
    void slot_CloseWhenJsonBad();
    void on_btnClean_clicked();

private:
    void setUpFonts();
    void setUpLinkLabel(const QFont &font);
    void startGateway();

    Ui::MainWindow *ui;
    cInternalFunctions *m_core = nullptr;
    QTableView *m_view = nullptr;
    QClipboard *m_clipboard = nullptr;
    QModelIndex m_editIndex;
};

#endif // MAINWINDOW_H
