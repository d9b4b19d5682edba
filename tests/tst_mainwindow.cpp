// The main window's form and its start-up with good and bad configuration.
#include "mainwindow.h"
#include "support/gatewayfixture.h"
#include "support/messageboxcatcher.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>

namespace
{

// A gateway without SQL, serving on a free port.
void writeGoodConfiguration()
{
    writeGatewaySettings(freeLoopbackPort(),
                         R"({"FolderMain": {"FolderName": "Main", "NodeId": 60000},
                             "FolderSub": {"FolderName": "Sub", "NodeId": 60001}})");
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void goodConfigurationShowsTheFixedForm()
    {
        writeGoodConfiguration();
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
        writeGoodConfiguration();
        QVERIFY(QDir().mkpath(dir.filePath("settings")));
        for (const QString &name : QDir(TestSettings::folder()).entryList(QDir::Files))
            QVERIFY(
                QFile::copy(TestSettings::folder() + '/' + name, dir.filePath("settings/" + name)));
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
