#include "mainwindow.h"

#include "internal_functions.h"
#include "mysqltablemodelresult.h"
#include "ui_mainwindow.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QSqlError>
#include <QTableView>
#include <QTimer>

namespace
{

// The window closes itself this long after a failed configuration load, so the
// operator can still read what the log pane holds.
constexpr int kCloseDelayMs = 2000;

const char kLinkText[] = "<a href=\"https://varnholt.example/tagbridge\">varnholt.example</a>";

// The tags table's columns by position: header text, share of the usable view
// width in percent, and whether the operator may edit the column.
struct TagsColumn {
    const char *header;
    int widthPercent;
    bool editable;
};
const TagsColumn kTagsColumns[] = {
    {"id", 10, false},  {"number", 10, true},      {"key", 15, false},  {"value", 20, true},
    {"type", 5, false}, {"description", 34, true}, {"format", 6, true},
};
constexpr int kTagsColumnCount = int(sizeof(kTagsColumns) / sizeof(kTagsColumns[0]));
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

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setFixedSize(width(), height());
    setUpFonts();
    ui->frEdit->setVisible(false);
    ui->lblLogo->setPixmap(QPixmap(QStringLiteral(":resource/images/logo_vh_red.png")));
    qDebug() << "Running a release build";
    ui->frDebug_SQL->setHidden(true);

    bool configLoaded = false;
    m_core = new cInternalFunctions(ui->plainTextEdit, &configLoaded);
    if (configLoaded)
        startGateway();
    else
        QTimer::singleShot(kCloseDelayMs, this, SLOT(slot_CloseWhenJsonBad()));
}

MainWindow::~MainWindow()
{
    delete ui;
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
    ui->plainTextEdit->setFont(font);
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
    m_core->InitSQL();
    const bool tableEnable = m_core->m_sqlConfig[QStringLiteral("table_enable")].toBool();
    const auto table = buildTableView(QStringLiteral("tags").toLower(), tableEnable);
    m_core->m_tableModel = table.first;
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
    auto *model = new MySqlTableModelResult(this, m_core->m_db);
    model->setTable(tableName);
    model->setEditStrategy(QSqlTableModel::OnManualSubmit);
    model->select();
    for (int column = 0; column < kTagsColumnCount; ++column)
        model->setHeaderData(column, Qt::Horizontal,
                             QString::fromLatin1(kTagsColumns[column].header).toLower(),
                             Qt::EditRole);
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

void MainWindow::setUpTableView(QTableView *view)
{
    view->setFixedSize(kTableViewSize);
    view->setWordWrap(true);
    // The columns share nine tenths of the view; the last one stretches over the rest.
    const int usableWidth = view->width() * 9 / 10;
    for (int column = 0; column < kTagsColumnCount; ++column)
        view->horizontalHeader()->resizeSection(
            column, usableWidth * kTagsColumns[column].widthPercent / 100);
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
    if (column < kTagsColumnCount && !kTagsColumns[column].editable)
        return;
    m_editIndex = index;
    ui->txtEdit->setText(text);
    ui->frEdit->show();
}

void MainWindow::slot_TableSelectionClicked(int logicalIndex)
{
    m_core->m_tableModel->sort(logicalIndex, Qt::AscendingOrder);
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
    ui->plainTextEdit->clear();
}

// A write the database refuses is reported and undone, so the view never shows
// an edit that was not stored.
void MainWindow::on_btnApply_clicked()
{
    MySqlTableModelResult *model = m_core->m_tableModel;
    model->setData(m_editIndex, QVariant(ui->txtEdit->text()), Qt::EditRole);
    if (!model->submitAll()) {
        m_core->writeLog(QStringLiteral("mainwindow.cpp"), __LINE__, QString::fromUtf8(Q_FUNC_INFO),
                         QStringLiteral("critical"),
                         QStringLiteral("SQL write-back refused: ") + model->lastError().text());
        model->revertAll();
    }
    ui->frEdit->hide();
}
