// The main window's form and its start-up with good and bad configuration.
#include "mainwindow.h"
#include "support/gatewayfixture.h"
#include "support/messageboxcatcher.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QScrollBar>
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

LogModel *logOf(const MainWindow &window)
{
    return qobject_cast<LogModel *>(window.findChild<QListView *>("logView")->model());
}

// The longest lateness of a repeating timer while it runs.
class LatenessProbe
{
public:
    explicit LatenessProbe(int intervalMs) : m_intervalMs(intervalMs)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longestMs = std::max(m_longestMs, m_sinceLast.restart() - m_intervalMs);
        });
        m_timer.setTimerType(Qt::PreciseTimer);
        m_sinceLast.start();
        m_timer.start(intervalMs);
    }
    qint64 longestMs() const { return m_longestMs; }

private:
    const int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_sinceLast;
    qint64 m_longestMs = 0;
};

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

        LogModel *log = logOf(window);
        log->append(0, "info", "some line", {});
        QTest::mouseClick(window.findChild<QWidget *>("btnClean"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(log->rowCount(), 0);
    }

    // The view follows new lines only while it shows the last one; a burst of
    // lines, a slice per turn as the core writes them, leaves the event loop
    // answering.
    void logViewFollowsTheEndAndStaysResponsive()
    {
        writeGoodConfiguration();
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        LogModel *log = logOf(window);
        const QScrollBar *bar = window.findChild<QListView *>("logView")->verticalScrollBar();
        const auto writeLines = [log](int count) {
            for (int i = 0; i < count; ++i)
                log->append(0, "info", "line", {});
            log->flush();
            QCoreApplication::processEvents();
        };
        writeLines(100);
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        window.findChild<QListView *>("logView")->scrollToTop();
        writeLines(10);
        QCOMPARE(bar->value(), 0);
        window.findChild<QListView *>("logView")->scrollToBottom();

        constexpr int kBurst = 100000, kSlice = 2000, kProbeMs = 5;
        int written = 0;
        QTimer writer;
        connect(&writer, &QTimer::timeout, [&] {
            for (int i = 0; i < kSlice; ++i, ++written)
                log->append(0, "info", QString::number(written), {});
        });
        LatenessProbe probe(kProbeMs);
        writer.start(0);
        QTRY_VERIFY_WITH_TIMEOUT(written >= kBurst, 60000);
        writer.stop();
        QTRY_COMPARE(log->index(log->rowCount() - 1).data(LogModel::MessageRole).toString(),
                     QString::number(written - 1));
        QCOMPARE(log->rowCount(), LogModel::kDefaultCapacity);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY2(probe.longestMs() < 50, qPrintable(QString::number(probe.longestMs())));
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
