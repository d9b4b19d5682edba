// The gateway core's configuration loader, log sink and error dialog.
#include "internal_functions.h"
#include "support/messageboxcatcher.h"
#include "support/settingsdir.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QtTest>

namespace
{

QStringList g_messages;

void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    static const char *const names[] = {"debug", "warning", "critical", "fatal", "info"};
    g_messages << QString::fromLatin1(names[type]) + QLatin1Char('|') + text;
}

const QByteArray kValidSettings = R"({"opcua_port": 4840,
    "Console": {"OutputEnable": true}, "Window": {"OutputEnable": true}})";

void writeValidFiles()
{
    TestSettings::clear();
    TestSettings::write("settings.json", kValidSettings);
    TestSettings::write("sql.json", "{}");
    TestSettings::write("tags.json", "{}");
}

} // namespace

class TestConfigLoader : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_messages.clear();
        qInstallMessageHandler(captureMessages);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void validFilesLoadWithoutDialogs();
    void missingFilesGiveOneDialogEachInOrder();
    void missingSqlFileStillLoadsTheOthers();
    void malformedFilesAreReported_data();
    void malformedFilesAreReported();
    void linesAreJoinedWithoutSeparators();
    void stringPortReadsAsZero();

    void consoleSinkLevelsAndFormats();
    void paneSinkColoursAndLevels();
    void sinksAreSwitchedBySettings();
    void logPaneIsBounded();

    void messageBoxLooksAsDesigned();
};

void TestConfigLoader::validFilesLoadWithoutDialogs()
{
    writeValidFiles();
    MessageBoxCatcher catcher;
    bool ok = false;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(ok);
    QVERIFY(catcher.boxes.isEmpty());
    QCOMPARE(core.m_settings["opcua_port"].toInt(), 4840);
    QVERIFY(!core.m_ready);
}

void TestConfigLoader::missingFilesGiveOneDialogEachInOrder()
{
    TestSettings::clear();
    MessageBoxCatcher catcher;
    bool ok = true;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(!ok);
    QCOMPARE(catcher.boxes.size(), 3);
    const QString dir = TestSettings::folder() + QLatin1Char('/');
    const QStringList names = {"settings.json", "sql.json", "tags.json"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(catcher.boxes[i].title, QStringLiteral("Внимание! Не найден JSON-файл!"));
        QCOMPARE(catcher.boxes[i].informativeText, dir + names[i]);
        QVERIFY(g_messages.contains("critical|Critical error: File <" + dir + names[i] +
                                    "> not found!"));
    }
}

void TestConfigLoader::missingSqlFileStillLoadsTheOthers()
{
    writeValidFiles();
    QFile::remove(TestSettings::folder() + "/sql.json");
    TestSettings::write("tags.json", R"({"PreloadTags": true})");
    MessageBoxCatcher catcher;
    bool ok = true;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(!ok);
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes[0].informativeText, TestSettings::folder() + "/sql.json");
    QCOMPARE(core.m_settings["opcua_port"].toInt(), 4840);
    QVERIFY(core.m_tagConfig["PreloadTags"].toBool());
    QVERIFY(core.m_sqlConfig.isEmpty());
}

void TestConfigLoader::malformedFilesAreReported_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("top-level array")
        << QByteArray("[1,2]") << "critical|Critical error: JSON Document is not an object!";
    QTest::newRow("empty file") << QByteArray() << "critical|Critical error: Invalid JSON...!";
    QTest::newRow("broken text") << QByteArray("{\"a\": ")
                                 << "critical|Critical error: Invalid JSON...!";
}

void TestConfigLoader::malformedFilesAreReported()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    writeValidFiles();
    TestSettings::write("tags.json", content);
    MessageBoxCatcher catcher;
    bool ok = true;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(!ok);
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes[0].title, QStringLiteral("Внимание! Ошибка в JSON-файле!"));
    QCOMPARE(catcher.boxes[0].informativeText, TestSettings::folder() + "/tags.json");
    QVERIFY2(g_messages.contains(message), qPrintable(g_messages.join('\n')));
    QVERIFY(core.m_tagConfig.isEmpty());
}

void TestConfigLoader::linesAreJoinedWithoutSeparators()
{
    writeValidFiles();
    TestSettings::write("tags.json", "{\n\"FolderMain\":\r\n {\"FolderName\": \"Main\n"
                                     "Folder\"}\n}\n");
    bool ok = false;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(ok);
    QCOMPARE(core.m_tagConfig["FolderMain"].toObject()["FolderName"].toString(),
             QStringLiteral("MainFolder"));
}

void TestConfigLoader::stringPortReadsAsZero()
{
    writeValidFiles();
    TestSettings::write("settings.json", R"({"opcua_port": "4840"})");
    bool ok = false;
    cInternalFunctions core(nullptr, &ok);
    QVERIFY(ok);
    QCOMPARE(core.m_settings["opcua_port"].toInt(), 0);
}

void TestConfigLoader::consoleSinkLevelsAndFormats()
{
    writeValidFiles();
    bool ok = false;
    cInternalFunctions core(nullptr, &ok);
    g_messages.clear();
    const QString fn = QStringLiteral("void cInternalFunctions::InitSQL()");
    core.writeLog("internal_functions.cpp", 42, fn, "debug", "d-text");
    core.writeLog("internal_functions.cpp", 43, fn, "info", "i-text");
    core.writeLog("internal_functions.cpp", 44, fn, "warning", "w-text");
    core.writeLog("internal_functions.cpp", 45, fn, "critical", "c-text");
    core.writeLog("internal_functions.cpp", 46, fn, "Debug", "ignored");
    QCOMPARE(g_messages.size(), 4);

    // Lines go out as one quoted string item: "YYYY-MM-DD hh:mm:ss.zzz > text".
    const QString stamp = QStringLiteral("\"\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} > ");
    const QString suffix = QStringLiteral(" \\(internal_functions\\.cpp, %1, void "
                                          "cInternalFunctions::InitSQL\\(\\)\\)\"$");
    QVERIFY(QRegularExpression("^debug\\|" + stamp + "d-text\"$").match(g_messages[0]).hasMatch());
    QVERIFY(QRegularExpression("^info\\|" + stamp + "i-text\"$").match(g_messages[1]).hasMatch());
    QVERIFY2(QRegularExpression("^warning\\|" + stamp + "w-text" + suffix.arg(44))
                 .match(g_messages[2])
                 .hasMatch(),
             qPrintable(g_messages[2]));
    QVERIFY(QRegularExpression("^critical\\|" + stamp + "c-text" + suffix.arg(45))
                .match(g_messages[3])
                .hasMatch());
}

void TestConfigLoader::paneSinkColoursAndLevels()
{
    writeValidFiles();
    QPlainTextEdit pane;
    bool ok = false;
    cInternalFunctions core(&pane, &ok);
    core.writeLog("internal_functions.cpp", 1, "f", "info", "first");
    core.writeLog("internal_functions.cpp", 2, "f", "debug", "never shown");
    core.writeLog("internal_functions.cpp", 3, "f", "warning", "second");
    core.writeLog("internal_functions.cpp", 4, "f", "critical", "third");
    core.writeLog("internal_functions.cpp", 5, "f", "Debug", "fourth");

    QTextDocument *doc = pane.document();
    QCOMPARE(doc->blockCount(), 4);
    const QStringList levels = {"info", "warning", "critical", "Debug"};
    const QStringList texts = {"first", "second", "third", "fourth"};
    const QList<QColor> colours = {Qt::black, Qt::darkBlue, Qt::red, Qt::black};
    for (int i = 0; i < 4; ++i) {
        const QTextBlock block = doc->findBlockByNumber(i);
        const QRegularExpression line("^\\[" + levels[i] +
                                      "\\] \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} > " +
                                      texts[i] + "$");
        QVERIFY2(line.match(block.text()).hasMatch(), qPrintable(block.text()));
        QCOMPARE(block.begin().fragment().charFormat().foreground().color(), colours[i]);
    }
}

void TestConfigLoader::sinksAreSwitchedBySettings()
{
    writeValidFiles();
    TestSettings::write("settings.json", R"({"Window": {"OutputEnable": true}})");
    QPlainTextEdit pane;
    bool ok = false;
    cInternalFunctions core(&pane, &ok);
    g_messages.clear();
    core.writeLog("internal_functions.cpp", 1, "f", "critical", "to the pane only");
    QVERIFY(g_messages.isEmpty());
    QCOMPARE(pane.document()->blockCount(), 1);
    QVERIFY(pane.toPlainText().endsWith("to the pane only"));

    core.m_settings = QJsonObject();
    core.writeLog("internal_functions.cpp", 2, "f", "critical", "nowhere");
    QVERIFY(g_messages.isEmpty());
    QVERIFY(!pane.toPlainText().contains("nowhere"));

    cInternalFunctions withoutPane(nullptr, &ok);
    withoutPane.writeLog("internal_functions.cpp", 3, "f", "info", "no pane, no crash");
}

void TestConfigLoader::logPaneIsBounded()
{
    writeValidFiles();
    QPlainTextEdit pane;
    bool ok = false;
    cInternalFunctions core(&pane, &ok);
    QVERIFY(pane.maximumBlockCount() >= 10000);
    pane.setMaximumBlockCount(pane.maximumBlockCount()); // keeps the core's bound
    const int limit = pane.maximumBlockCount();
    for (int i = 0; i < limit + 10; ++i)
        core.writeLog("internal_functions.cpp", 1, "f", "info", QString::number(i));
    QCOMPARE(pane.document()->blockCount(), limit);
    QVERIFY(pane.document()->lastBlock().text().endsWith(QString::number(limit + 9)));
    QVERIFY(!pane.isReadOnly());

    // Long lines are bounded in characters as well.
    const QString wide(64 * 1024, QLatin1Char('x'));
    for (int i = 0; i < 200; ++i)
        core.writeLog("internal_functions.cpp", 1, "f", "info", wide + QString::number(i));
    QVERIFY(pane.document()->characterCount() < 8 * 1024 * 1024);
    QVERIFY(pane.document()->lastBlock().text().endsWith(wide + "199"));
}

void TestConfigLoader::messageBoxLooksAsDesigned()
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
    QCOMPARE(box.styleSheet.size(), 629);
    QVERIFY(box.styleSheet.startsWith("QDialog {font-size: 20pt;"));
    QVERIFY(box.styleSheet.contains("}             QPushButton:pressed"));
    // Rounded corners: the mask leaves the corner pixel out and covers the centre.
    QVERIFY(box.masked);
    QVERIFY(!box.mask.contains(QPoint(0, 0)));
    QVERIFY(box.mask.contains(QPoint(box.size.width() / 2, box.size.height() / 2)));
}

QTEST_MAIN(TestConfigLoader)
#include "tst_configloader.moc"
