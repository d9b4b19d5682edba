// The gateway core's configuration loader, log sink and error dialog.
#include "support/gatewayfixture.h"
#include "support/messageboxcatcher.h"

#include <QAbstractItemModelTester>

namespace
{

void writeValidFiles(const QByteArray &settings = R"({"opcua_port": 4840,
    "Console": {"OutputEnable": true}, "Window": {"OutputEnable": true}})")
{
    TestSettings::clear();
    TestSettings::write("settings.json", settings);
    TestSettings::write("sql.json", R"({"sql_enable": false})");
    TestSettings::write("tags.json", R"({"PreloadTags": true})");
}

const QString kStamp = QStringLiteral(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} > )");

bool matches(const QString &text, const QString &pattern)
{
    return QRegularExpression(pattern).match(text).hasMatch();
}

} // namespace

class TestConfigLoader : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        ConsoleCapture::install();
        ConsoleCapture::take();
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void linesAreJoinedWithoutSeparators()
    {
        writeValidFiles();
        TestSettings::write("tags.json", "{\n\"Folder\":\r\n {\"Name\": \"Main\nFolder\"}\n}\n");
        MessageBoxCatcher catcher;
        bool ok = false;
        cInternalFunctions core(nullptr, &ok);
        QVERIFY(ok);
        QVERIFY(catcher.boxes.isEmpty());
        QCOMPARE(core.m_settings["opcua_port"].toInt(), 4840);
        QCOMPARE(core.m_tagConfig["Folder"].toObject()["Name"].toString(), QString("MainFolder"));
    }

    // Each faulty file gives one dialog, in file order, and the other files still load.
    void faultyFilesAreReported_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QByteArray>("content"); // null: no such file
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const QString malformed = QStringLiteral("Внимание! Ошибка в JSON-файле!");
        const QString missing = QStringLiteral("Внимание! Не найден JSON-файл!");
        QTest::newRow("all missing") << QStringList{"settings.json", "sql.json", "tags.json"}
                                     << QByteArray() << missing << "not found!";
        QTest::newRow("one missing")
            << QStringList{"sql.json"} << QByteArray() << missing << "not found!";
        QTest::newRow("top-level array") << QStringList{"tags.json"} << QByteArray("[1,2]")
                                         << malformed << "JSON Document is not an object!";
        QTest::newRow("empty file")
            << QStringList{"tags.json"} << QByteArray("") << malformed << "Invalid JSON...!";
        QTest::newRow("broken text") << QStringList{"tags.json"} << QByteArray("{\"a\": ")
                                     << malformed << "Invalid JSON...!";
    }
    void faultyFilesAreReported()
    {
        QFETCH(QStringList, files);
        QFETCH(QByteArray, content);
        QFETCH(QString, title);
        QFETCH(QString, message);
        writeValidFiles();
        for (const QString &file : files) {
            if (content.isNull())
                QFile::remove(TestSettings::folder() + '/' + file);
            else
                TestSettings::write(file, content);
        }
        MessageBoxCatcher catcher;
        bool ok = true;
        cInternalFunctions core(nullptr, &ok);
        QVERIFY(!ok);
        QCOMPARE(catcher.boxes.size(), files.size());
        const QStringList console = ConsoleCapture::take();
        for (int i = 0; i < files.size(); ++i) {
            const QString path = TestSettings::folder() + '/' + files[i];
            QCOMPARE(catcher.boxes[i].title, title);
            QCOMPARE(catcher.boxes[i].informativeText, path);
            if (content.isNull())
                QVERIFY(
                    console.contains("critical Critical error: File <" + path + "> not found!"));
        }
        QCOMPARE(console.filter("critical Critical error: ").filter(message).size(), files.size());
        QCOMPARE(core.m_settings.contains("opcua_port"), !files.contains("settings.json"));
        QCOMPARE(core.m_sqlConfig.contains("sql_enable"), !files.contains("sql.json"));
        QCOMPARE(core.m_tagConfig.contains("PreloadTags"), !files.contains("tags.json"));
    }

    // Debug lines stay off the window, a level in another case off the console;
    // both sinks keep the order of the lines.
    void sinksShowLevelsInTheirFormats()
    {
        writeValidFiles();
        LogModel pane;
        bool ok = false;
        cInternalFunctions core(&pane, &ok);
        ConsoleCapture::take();
        for (const char *level : {"debug", "info", "warning", "critical", "Debug"})
            core.writeLog("internal_functions.cpp", 40, "void f()", level,
                          QLatin1String("text ") + level);
        QCoreApplication::processEvents();

        // The console: one quoted item a line; warnings and criticals name their origin.
        const QStringList levels = {"debug", "info", "warning", "critical"};
        const QStringList console = ConsoleCapture::take();
        QCOMPARE(console.size(), levels.size());
        for (int i = 0; i < levels.size(); ++i)
            QVERIFY2(
                matches(console[i],
                        QStringLiteral("^%1 \"%2text %1%3\"$")
                            .arg(levels[i], kStamp,
                                 i < 2 ? "" : R"( \(internal_functions\.cpp, 40, void f\(\)\))")),
                qPrintable(console[i]));

        const QStringList shown = {"info", "warning", "critical", "Debug"};
        const QList<QColor> colours = {Qt::black, Qt::darkBlue, Qt::red, Qt::black};
        QCOMPARE(pane.rowCount(), shown.size());
        for (int i = 0; i < shown.size(); ++i) {
            const QModelIndex line = pane.index(i);
            QVERIFY2(matches(line.data().toString(),
                             "^\\[" + shown[i] + "\\] " + kStamp + "text " + shown[i] + "$"),
                     qPrintable(line.data().toString()));
            QCOMPARE(line.data(Qt::ForegroundRole).value<QBrush>().color(), colours[i]);
        }
    }

    void sinksAreSwitchedBySettings()
    {
        writeValidFiles(R"({"Window": {"OutputEnable": true}})");
        LogModel pane;
        bool ok = false;
        cInternalFunctions core(&pane, &ok);
        ConsoleCapture::take();
        core.writeLog("internal_functions.cpp", 1, "f", "critical", "to the pane only");
        core.m_settings = QJsonObject();
        core.writeLog("internal_functions.cpp", 2, "f", "critical", "nowhere");
        QCoreApplication::processEvents();
        QVERIFY(ConsoleCapture::take().isEmpty());
        QCOMPARE(logLines(pane), QStringList{"[critical] to the pane only"});
        cInternalFunctions withoutPane(nullptr, &ok);
        withoutPane.writeLog("internal_functions.cpp", 3, "f", "info", "no pane, no crash");
    }

    // The ring keeps the newest lines, also when one turn brings more than it holds.
    void logKeepsItsNewestLines_data()
    {
        QTest::addColumn<QList<int>>("turns");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("under the bound") << QList<int>{2, 1} << QStringList{"0", "1", "2"};
        QTest::newRow("wraps") << QList<int>{3, 3, 2} << QStringList{"3", "4", "5", "6", "7"};
        QTest::newRow("one large turn")
            << QList<int>{2, 9} << QStringList{"6", "7", "8", "9", "10"};
    }
    void logKeepsItsNewestLines()
    {
        QFETCH(QList<int>, turns);
        LogModel log(5);
        QAbstractItemModelTester tester(&log,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        int written = 0;
        for (const int lines : turns) {
            for (int i = 0; i < lines; ++i)
                log.append(0, "info", QString::number(written++), {});
            log.flush();
        }
        QStringList kept;
        for (const QString &line : logLines(log))
            kept << line.section(' ', 1);
        QTEST(kept, "kept");
        log.clear();
        QCOMPARE(log.rowCount(), 0);
    }

    void messageBoxLooksAsDesigned()
    {
        writeValidFiles();
        bool ok = false;
        cInternalFunctions core(nullptr, &ok);
        MessageBoxCatcher catcher;
        core.showMessageBox("Заголовок", "/some/path/file.json");
        QCOMPARE(catcher.boxes.size(), 1);
        const MessageBoxCatcher::Box &box = catcher.boxes[0];
        QCOMPARE(box.title, QStringLiteral("Заголовок"));
        QCOMPARE(box.text, QStringLiteral("<h3>Заголовок</h3>"));
        QCOMPARE(box.informativeText, QStringLiteral("/some/path/file.json"));
        QVERIFY(box.flags.testFlag(Qt::FramelessWindowHint));
        QVERIFY(box.flags.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(box.styled);
        // Rounded corners: the mask leaves the corner pixel out and covers the centre.
        QVERIFY(!box.mask.contains(QPoint(0, 0)));
        QVERIFY(box.mask.contains(QPoint(box.size.width() / 2, box.size.height() / 2)));
    }
};

QTEST_MAIN(TestConfigLoader)
#include "tst_configloader.moc"
