#include "mainwindow.h"

#include "internal_functions.h"
#include "ui_mainwindow.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QTableView>
#include <QTimer>

namespace
{

// The window closes itself this long after a failed configuration load, so the
// operator can still read what the log pane holds.
constexpr int kCloseDelayMs = 2000;

const char kLinkText[] =
    "<a href=\"https://varnholt.example/tagbridge\">varnholt.example/tagbridge</a>";

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
    if (m_view) {
        ui->vlTables->addWidget(m_view, 36);
        m_view->update();
    }
    connect(m_core, SIGNAL(sql_updated()), this, SLOT(db_updateData()));
    m_core->m_ready = true;
}

QPair<MySqlTableModelResult *, QTableView *> MainWindow::buildTableView(const QString &, bool)
{
    return {nullptr, nullptr};
}

void MainWindow::db_updateData()
{
    if (m_view)
        m_view->update();
}

void MainWindow::slot_CloseWhenJsonBad()
{
    QCoreApplication::quit();
}

void MainWindow::on_btnClean_clicked()
{
    ui->plainTextEdit->clear();
}
