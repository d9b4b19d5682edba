// The main window's form and its start-up with good and bad configuration.
#include "mainwindow.h"
#include "support/messageboxcatcher.h"
#include "support/settingsdir.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QByteArray settingsJson(quint16 port)
{
    return QStringLiteral(R"({"opcua_port": %1, "opcua_AnonymousLoginAllowed": true,
        "Console": {"OutputEnable": true}, "Window": {"OutputEnable": true}})")
        .arg(port)
        .toUtf8();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void writeGoodConfiguration(const QString &settingsFolder)
{
    QDir().mkpath(settingsFolder);
    const QList<QPair<QString, QByteArray>> files = {
        {"settings.json", settingsJson(freePort())},
        {"sql.json", R"({"sql_enable": false})"},
        {"tags.json", R"({"FolderMain": {"FolderName": "Main", "NodeId": 60000},
                          "FolderSub": {"FolderName": "Sub", "NodeId": 60001}})"}};
    for (const auto &file : files) {
        QFile out(settingsFolder + QLatin1Char('/') + file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file.second);
    }
}

template <typename T> T *child(QWidget &window, const char *name)
{
    T *widget = window.findChild<T *>(QLatin1String(name));
    if (!widget)
        qWarning("no widget %s", name);
    return widget;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void formHasItsWidgetsAndTexts();
    void windowHasFixedSize();
    void goodConfigurationClearsClipboardAndStaysOpen();
    void cleanButtonEmptiesTheLogPane();
    void badConfigurationClosesAfterTwoSeconds();
    void executableKeepsRunningWithGoodConfiguration();
};

void TestMainWindow::formHasItsWidgetsAndTexts()
{
    writeGoodConfiguration(TestSettings::folder());
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("OPCUA-SQL GATEWAY (Varnholt LLC.)"));
    QCOMPARE(window.font().family(), QStringLiteral("Liberation Mono"));
    QCOMPARE(window.font().pointSize(), 12);

    struct Expected {
        const char *name;
        QRect geometry;
    };
    const Expected widgets[] = {
        {"plainTextEdit", {10, 40, 891, 281}}, {"verticalLayoutWidget_2", {10, 360, 1001, 261}},
        {"lblLogo", {910, 10, 101, 131}},      {"label", {840, 619, 171, 31}},
        {"lblText_2", {10, 10, 501, 31}},      {"lblText_1", {10, 330, 191, 31}},
        {"btnClean", {790, 10, 111, 31}},      {"frDebug_SQL", {910, 210, 101, 111}},
        {"pushButton_2", {10, 80, 81, 24}},    {"spinBox", {10, 61, 81, 21}},
        {"label_2", {8, 11, 81, 20}},          {"pushButton", {10, 30, 81, 24}},
        {"frEdit", {320, 320, 321, 41}},       {"btnApply", {200, 10, 111, 21}},
        {"txtEdit", {10, 10, 181, 21}},
    };
    for (const Expected &expected : widgets) {
        QWidget *widget = child<QWidget>(window, expected.name);
        QVERIFY2(widget, expected.name);
        QCOMPARE(widget->geometry(), expected.geometry);
    }

    QCOMPARE(child<QLabel>(window, "lblText_1")->text(), QStringLiteral("Просмотр SQL таблицы:"));
    QCOMPARE(child<QLabel>(window, "lblText_2")->text(), QStringLiteral("Отладочная информация:"));
    QCOMPARE(child<QLabel>(window, "lblText_2")->font().pointSize(), 10);
    QCOMPARE(child<QPlainTextEdit>(window, "plainTextEdit")->font().pointSize(), 10);
    QCOMPARE(child<QPushButton>(window, "btnClean")->text(), QStringLiteral("ОЧИСТИТЬ"));
    QCOMPARE(child<QPushButton>(window, "btnApply")->text(), QStringLiteral("ПРИМЕНИТЬ"));

    auto *link = child<QLabel>(window, "label");
    QCOMPARE(link->textFormat(), Qt::RichText);
    QVERIFY(link->text().contains("<a href="));
    QCOMPARE(int(link->textInteractionFlags()), 13);
    QVERIFY(link->openExternalLinks());
    QCOMPARE(link->font().pointSize(), 9);
    QCOMPARE(link->font().weight(), 75);

    const QPixmap logo = child<QLabel>(window, "lblLogo")->pixmap(Qt::ReturnByValue);
    QCOMPARE(logo.size(), QSize(100, 131));
    QVERIFY(logo.hasAlphaChannel());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(child<QFrame>(window, "frEdit")->isHidden());
    QVERIFY(child<QFrame>(window, "frDebug_SQL")->isHidden());
}

void TestMainWindow::windowHasFixedSize()
{
    writeGoodConfiguration(TestSettings::folder());
    MainWindow window;
    window.show();
    QCOMPARE(window.size(), QSize(1020, 667));
    QCOMPARE(window.minimumSize(), QSize(1020, 667));
    QCOMPARE(window.maximumSize(), QSize(1020, 667));
    window.resize(1200, 800);
    QCOMPARE(window.size(), QSize(1020, 667));
}

void TestMainWindow::goodConfigurationClearsClipboardAndStaysOpen()
{
    writeGoodConfiguration(TestSettings::folder());
    QGuiApplication::clipboard()->setText("left over");
    MessageBoxCatcher catcher;
    MainWindow window;
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
    QVERIFY(catcher.boxes.isEmpty());
}

void TestMainWindow::cleanButtonEmptiesTheLogPane()
{
    writeGoodConfiguration(TestSettings::folder());
    MainWindow window;
    auto *pane = child<QPlainTextEdit>(window, "plainTextEdit");
    pane->appendPlainText("some line");
    QTest::mouseClick(child<QPushButton>(window, "btnClean"), Qt::LeftButton);
    QVERIFY(pane->toPlainText().isEmpty());
}

void TestMainWindow::badConfigurationClosesAfterTwoSeconds()
{
    TestSettings::clear();
    MessageBoxCatcher catcher;
    MainWindow window;
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(catcher.boxes.size(), 3);
    window.show();

    // quit() ends every running event loop of the thread, this one included.
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, [&loop] { loop.exit(1); });
    const int code = loop.exec();
    QCOMPARE(code, 0);
    QVERIFY2(elapsed.elapsed() >= 1800 && elapsed.elapsed() < 8000,
             qPrintable(QString::number(elapsed.elapsed())));
}

void TestMainWindow::executableKeepsRunningWithGoodConfiguration()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString exe = dir.filePath("OpcUaSqlGateway");
    QVERIFY(QFile::copy(QStringLiteral(GATEWAY_EXECUTABLE), exe));
    writeGoodConfiguration(dir.filePath("settings"));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(exe, QStringList());
    QVERIFY(process.waitForStarted());
    const bool ended = process.waitForFinished(3000);
    const QByteArray output = process.readAll();
    QVERIFY2(!ended, output.constData());
    QVERIFY(output.contains("Running a release build"));
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
