// The main window's form and its start-up with good and bad configuration.
#include "mainwindow.h"
#include "support/freeport.h"
#include "support/messageboxcatcher.h"
#include "support/settingsdir.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

void writeGoodConfiguration(const QString &settingsFolder)
{
    QDir().mkpath(settingsFolder);
    const QList<QPair<QString, QByteArray>> files = {
        {"settings.json", QStringLiteral(R"({"opcua_port": %1, "opcua_AnonymousLoginAllowed": true,
            "Console": {"OutputEnable": true}, "Window": {"OutputEnable": true}})")
                              .arg(freeLoopbackPort())
                              .toUtf8()},
        {"sql.json", R"({"sql_enable": false})"},
        {"tags.json", R"({"FolderMain": {"FolderName": "Main", "NodeId": 60000},
                          "FolderSub": {"FolderName": "Sub", "NodeId": 60001}})"}};
    for (const auto &file : files) {
        QFile out(settingsFolder + QLatin1Char('/') + file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file.second);
    }
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void goodConfigurationShowsTheFixedForm()
    {
        writeGoodConfiguration(TestSettings::folder());
        QGuiApplication::clipboard()->setText("left over");
        MessageBoxCatcher catcher;
        MainWindow window;
        QVERIFY(catcher.boxes.isEmpty());
        QCOMPARE(QGuiApplication::clipboard()->text(), QString());
        QCOMPARE(window.windowTitle(), QStringLiteral("OPCUA-SQL GATEWAY (Varnholt LLC.)"));
        QCOMPARE(window.font().family(), QStringLiteral("Liberation Mono"));
        QVERIFY(window.findChild<QLabel *>("label")->text().contains("<a href="));
        QVERIFY(window.findChild<QLabel *>("label")->openExternalLinks());
        QVERIFY(!window.findChild<QLabel *>("lblLogo")->pixmap(Qt::ReturnByValue).isNull());

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.findChild<QWidget *>("frEdit")->isHidden());
        QVERIFY(window.findChild<QWidget *>("frDebug_SQL")->isHidden());
        const QSize size = window.size();
        window.resize(size + QSize(200, 100));
        QCOMPARE(window.size(), size);

        auto *pane = window.findChild<QPlainTextEdit *>("plainTextEdit");
        pane->appendPlainText("some line");
        QTest::mouseClick(window.findChild<QWidget *>("btnClean"), Qt::LeftButton);
        QVERIFY(pane->toPlainText().isEmpty());
    }

    void badConfigurationClosesAfterTwoSeconds()
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
        QCOMPARE(loop.exec(), 0);
        QVERIFY2(elapsed.elapsed() >= 1800 && elapsed.elapsed() < 8000,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    void executableKeepsRunningWithGoodConfiguration()
    {
        QTemporaryDir dir;
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
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
