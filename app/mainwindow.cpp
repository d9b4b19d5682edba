#include "mainwindow.h"

#include "internal_functions.h"
#include "logmodel.h"
#include "mysqltablemodelresult.h"
#include "tagstore.h"
#include "ui_mainwindow.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QListView>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>

namespace
{

// The window closes itself this long after a failed configuration load, so the
// operator can still read what the log pane holds.
constexpr int kCloseDelayMs = 2000;

const char kLinkText[] = "<a href=\"https://varnholt.example/tagbridge\">varnholt.example</a>";

// The tags table's columns by position: share of the usable view width in
// percent, and whether the operator may edit the column.
struct ColumnLook {
    int widthPercent;
    bool editable;
};
const ColumnLook kColumnLooks[kTagsColumnCount] = {
    {10, false}, {10, true}, {15, false}, {20, true}, {5, false}, {34, true}, {6, true},
};
constexpr int kSortColumn = 1; // "number"
const QSize kTableViewSize(1000, 260);

QString resourceFontFamily()
{
    const int id = QFontDatabase::addApplicationFont(
        QStringLiteral(":resource/fonts/LiberationMono-Regular.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    // Without the resource font the window keeps the platform's default family.
    return families.isEmpty() ? QFont().family() : families.first();
}

} // namespace

MainWindow::MainWindow(QWidget *parent, const GatewayPaths &paths)
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setFixedSize(width(), height());
    setUpLogView();
    setUpFonts();
    ui->frEdit->setVisible(false);
    ui->lblLogo->setPixmap(QPixmap(QStringLiteral(":resource/images/logo_vh_red.png")));
    qDebug() << "Running a release build";
    ui->frDebug_SQL->setHidden(true);

    bool configLoaded = false;
    m_core = new cInternalFunctions(m_logModel, &configLoaded, paths);
    paths.log(*m_core);
    if (configLoaded)
        startGateway();
    else
        QTimer::singleShot(kCloseDelayMs, this, SLOT(slot_CloseWhenJsonBad()));
}

MainWindow::~MainWindow()
{
    delete m_core;
    delete ui;
}

// Every line is one row of the same height, so the view lays out only the
// lines it shows; it follows new lines only while its last line is in sight.
void MainWindow::setUpLogView()
{
    m_logModel = new LogModel(LogModel::kDefaultCapacity, this);
    QListView *view = ui->logView;
    view->setModel(m_logModel);
    view->setUniformItemSizes(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(m_logModel, &LogModel::rowsAboutToBeInserted, this, [this] {
        const QScrollBar *bar = ui->logView->verticalScrollBar();
        m_logAtEnd = bar->value() == bar->maximum();
    });
    connect(m_logModel, &LogModel::rowsInserted, this, [this] {
        if (m_logAtEnd)
            ui->logView->scrollToBottom();
    });
}

void MainWindow::setUpFonts()
{
    QFont font(resourceFontFamily());
    font.setPointSize(12);
    font.setWeight(50);
    setFont(font);
    setWindowTitle(QStringLiteral("OPCUA-SQL GATEWAY (Varnholt LLC.)"));

    font.setPointSize(10);
    font.setWeight(50);
    ui->logView->setFont(font);
    ui->lblText_1->setFont(font);
    ui->lblText_2->setFont(font);
    ui->lblText_1->setText(QStringLiteral("Просмотр SQL таблицы:"));
    ui->lblText_2->setText(QStringLiteral("Отладочная информация:"));
    setUpLinkLabel(font);
}

void MainWindow::setUpLinkLabel(const QFont &font)
{
    QFont linkFont(font);
    linkFont.setPointSize(9);
    linkFont.setWeight(75);
    ui->label->setFont(linkFont);
    ui->label->setText(QString::fromLatin1(kLinkText));
    ui->label->setTextFormat(Qt::RichText);
    ui->label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                       Qt::LinksAccessibleByKeyboard);
    ui->label->setOpenExternalLinks(true);
}

void MainWindow::startGateway()
{
    m_clipboard = QGuiApplication::clipboard();
    m_clipboard->setText(QString(), QClipboard::Clipboard);
    m_core->InitOPC();
    if (!m_core->opcServing())
        showOpcUaNotServed();
    m_core->InitSQL();
    const bool tableEnable = m_core->m_sqlConfig[QStringLiteral("table_enable")].toBool();
    const auto table = buildTableView(QStringLiteral("tags").toLower(), tableEnable);
    m_model = table.first;
    m_view = table.second;
    ui->vlTables->addWidget(m_view, 36);
    m_view->update();
    connect(m_core, SIGNAL(sql_updated()), this, SLOT(db_updateData()));
    m_core->m_ready = true;
}

// The view is built whatever "table_enable" says: the flag switches nothing.
QPair<MySqlTableModelResult *, QTableView *> MainWindow::buildTableView(const QString &tableName,
                                                                        bool)
{
    Q_UNUSED(tableName) // the store keeps the one table of tags
    auto *model = new MySqlTableModelResult(this);
    followTagStore(model);
    model->sort(kSortColumn, Qt::AscendingOrder);

    auto *view = new QTableView(this);
    view->setModel(model);
    connect(view, SIGNAL(clicked(const QModelIndex &)), this,
            SLOT(slot_view_clicked(const QModelIndex &)));
    setUpTableView(view);
    for (int column = 0; column < model->columnCount(); ++column)
        view->showColumn(column);
    connect(view->horizontalHeader(), SIGNAL(sectionClicked(int)), this,
            SLOT(slot_TableSelectionClicked(int)));
    return {model, view};
}

// The operator sees at once that clients are not served; the log says why.
void MainWindow::showOpcUaNotServed()
{
    const QString notServed = QStringLiteral("OPC UA не обслуживается!");
    setWindowTitle(windowTitle() + QStringLiteral(" — ") + notServed);
    ui->lblText_2->setText(ui->lblText_2->text() + QLatin1Char(' ') + notServed);
    ui->lblText_2->setStyleSheet(QStringLiteral("color: red;"));
}

// The model shows the rows the store reports, row by row as they change.
void MainWindow::followTagStore(MySqlTableModelResult *model)
{
    const TagStore *store = m_core->tagStore();
    if (!store)
        return;
    connect(store, &TagStore::rowsChanged, model, &MySqlTableModelResult::applyRows);
    connect(store, &TagStore::rowsRemoved, model, &MySqlTableModelResult::removeRowsById);
    connect(store, &TagStore::availabilityChanged, this, &MainWindow::slot_SQL_availabilityChanged);
    connect(store, &TagStore::cellEditRefused, this, &MainWindow::slot_SQL_cellEditRefused);
}

void MainWindow::setUpTableView(QTableView *view)
{
    view->setFixedSize(kTableViewSize);
    view->setWordWrap(true);
    // The columns share nine tenths of the view; the last one stretches over the rest.
    const int usableWidth = view->width() * 9 / 10;
    for (int column = 0; column < kTagsColumnCount; ++column)
        view->horizontalHeader()->resizeSection(
            column, usableWidth * kColumnLooks[column].widthPercent / 100);
    view->horizontalHeader()->setStretchLastSection(true);
    view->verticalHeader()->hide();
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setShowGrid(true);
}

void MainWindow::db_updateData()
{
    m_view->update();
}

// Cells are never edited in place: a click on an editable cell opens the edit
// frame with the cell's text.
void MainWindow::slot_view_clicked(const QModelIndex &index)
{
    const QModelIndex current = m_view->currentIndex();
    if (current.row() == -1)
        return;
    const QString text = index.data(Qt::DisplayRole).toString();
    const int column = current.column();
    if (column < kTagsColumnCount && !kColumnLooks[column].editable)
        return;
    m_editId = m_model->idOfRow(index.row());
    m_editColumn = index.column();
    ui->txtEdit->setText(text);
    ui->frEdit->show();
}

void MainWindow::slot_TableSelectionClicked(int logicalIndex)
{
    m_model->sort(logicalIndex, Qt::AscendingOrder);
}

void MainWindow::slot_CloseWhenJsonBad()
{
    QCoreApplication::quit();
}

void MainWindow::on_pushButton_clicked()
{
    m_core->clearTagsTable();
}

void MainWindow::on_pushButton_2_clicked()
{
    m_core->fillTagsTable(ui->spinBox->value());
}

void MainWindow::on_btnClean_clicked()
{
    m_logModel->clear();
}

// The edit goes to the row the frame was opened on, through the store like a
// client's value; the view shows it once the database holds it.
void MainWindow::on_btnApply_clicked()
{
    ui->frEdit->hide();
    if (!m_databaseAvailable)
        refuseEdit(QStringLiteral("База данных недоступна."));
    else if (m_model->rowOfId(m_editId) < 0)
        refuseEdit(QStringLiteral("Строка удалена из таблицы."));
    else
        m_core->editCell(m_editId, m_editColumn, ui->txtEdit->text());
}

void MainWindow::refuseEdit(const QString &reason)
{
    m_core->writeLog(QStringLiteral("mainwindow.cpp"), __LINE__, QString::fromUtf8(Q_FUNC_INFO),
                     QStringLiteral("critical"),
                     QStringLiteral("SQL write-back refused: ") + reason);
    m_core->showMessageBox(QStringLiteral("Изменение не сохранено!"), reason);
}

void MainWindow::slot_SQL_availabilityChanged(bool available)
{
    m_databaseAvailable = available;
}

// The view keeps what the database holds.
void MainWindow::slot_SQL_cellEditRefused(qint64, const QString &error)
{
    m_core->writeLog(QStringLiteral("mainwindow.cpp"), __LINE__, QString::fromUtf8(Q_FUNC_INFO),
                     QStringLiteral("critical"),
                     QStringLiteral("SQL write-back refused: ") + error);
}
