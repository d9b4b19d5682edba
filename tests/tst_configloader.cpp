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
        g_messages.clear();
        qInstallMessageHandler(captureMessages);
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

    void missingFilesGiveOneDialogEachInOrder()
    {
        TestSettings::clear();
        MessageBoxCatcher catcher;
        bool ok = true;
        cInternalFunctions core(nullptr, &ok);
        QVERIFY(!ok);
        QCOMPARE(catcher.boxes.size(), 3);
        const QStringList names = {"settings.json", "sql.json", "tags.json"};
        for (int i = 0; i < 3; ++i) {
            const QString path = TestSettings::folder() + '/' + names[i];
            QCOMPARE(catcher.boxes[i].title, QStringLiteral("Внимание! Не найден JSON-файл!"));
            QCOMPARE(catcher.boxes[i].informativeText, path);
            QVERIFY(g_messages.contains("critical|Critical error: File <" + path + "> not found!"));
        }
    }

    // One faulty file gives one dialog, and the other files still load.
    void faultyFileIsReported_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: no such file
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const QString malformed = QStringLiteral("Внимание! Ошибка в JSON-файле!");
        QTest::newRow("missing") << "sql.json" << QByteArray()
                                 << QStringLiteral("Внимание! Не найден JSON-файл!")
                                 << "not found!";
        QTest::newRow("top-level array")
            << "tags.json" << QByteArray("[1,2]") << malformed << "JSON Document is not an object!";
        QTest::newRow("empty file")
            << "tags.json" << QByteArray("") << malformed << "Invalid JSON...!";
        QTest::newRow("broken text")
            << "tags.json" << QByteArray("{\"a\": ") << malformed << "Invalid JSON...!";
    }
    void faultyFileIsReported()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, title);
        QFETCH(QString, message);
        writeValidFiles();
        const QString path = TestSettings::folder() + '/' + file;
        if (content.isNull())
            QFile::remove(path);
        else
            TestSettings::write(file, content);
        MessageBoxCatcher catcher;
        bool ok = true;
        cInternalFunctions core(nullptr, &ok);
        QVERIFY(!ok);
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].title, title);
        QCOMPARE(catcher.boxes[0].informativeText, path);
        QCOMPARE(g_messages.filter("critical|Critical error: ").filter(message).size(), 1);
        QCOMPARE(core.m_settings["opcua_port"].toInt(), 4840);
        QCOMPARE(core.m_sqlConfig.contains("sql_enable"), file != "sql.json");
        QCOMPARE(core.m_tagConfig.contains("PreloadTags"), file != "tags.json");
    }

    // Debug lines stay off the pane, a level in another case off the console.
    void sinksShowLevelsInTheirFormats()
    {
        writeValidFiles();
        QPlainTextEdit pane;
        bool ok = false;
        cInternalFunctions core(&pane, &ok);
        g_messages.clear();
        for (const char *level : {"debug", "info", "warning", "critical", "Debug"})
            core.writeLog("internal_functions.cpp", 40, "void f()", level,
                          QLatin1String("text ") + level);

        // The console: one quoted item a line; warnings and criticals name their origin.
        const QStringList levels = {"debug", "info", "warning", "critical"};
        QCOMPARE(g_messages.size(), levels.size());
        for (int i = 0; i < levels.size(); ++i)
            QVERIFY2(
                matches(g_messages[i],
                        QStringLiteral("^%1\\|\"%2text %1%3\"$")
                            .arg(levels[i], kStamp,
                                 i < 2 ? "" : R"( \(internal_functions\.cpp, 40, void f\(\)\))")),
                qPrintable(g_messages[i]));

        const QStringList shown = {"info", "warning", "critical", "Debug"};
        const QList<QColor> colours = {Qt::black, Qt::darkBlue, Qt::red, Qt::black};
        QCOMPARE(pane.document()->blockCount(), shown.size());
        for (int i = 0; i < shown.size(); ++i) {
            const QTextBlock block = pane.document()->findBlockByNumber(i);
            QVERIFY2(matches(block.text(),
                             "^\\[" + shown[i] + "\\] " + kStamp + "text " + shown[i] + "$"),
                     qPrintable(block.text()));
            QCOMPARE(block.begin().fragment().charFormat().foreground().color(), colours[i]);
        }
    }

    void sinksAreSwitchedBySettings()
    {
        writeValidFiles(R"({"Window": {"OutputEnable": true}})");
        QPlainTextEdit pane;
        bool ok = false;
        cInternalFunctions core(&pane, &ok);
        g_messages.clear();
        core.writeLog("internal_functions.cpp", 1, "f", "critical", "to the pane only");
        core.m_settings = QJsonObject();
        core.writeLog("internal_functions.cpp", 2, "f", "critical", "nowhere");
        QVERIFY(g_messages.isEmpty());
        QCOMPARE(pane.document()->blockCount(), 1);
        QVERIFY(pane.toPlainText().endsWith("to the pane only"));
        cInternalFunctions withoutPane(nullptr, &ok);
        withoutPane.writeLog("internal_functions.cpp", 3, "f", "info", "no pane, no crash");
    }

    void logPaneIsBounded()
    {
        writeValidFiles();
        QPlainTextEdit pane;
        bool ok = false;
        cInternalFunctions core(&pane, &ok);
        const int limit = pane.maximumBlockCount();
        QVERIFY(limit >= 10000);
        for (int i = 0; i < limit + 10; ++i)
            core.writeLog("internal_functions.cpp", 1, "f", "info", QString::number(i));
        QCOMPARE(pane.document()->blockCount(), limit);
        QVERIFY(pane.document()->lastBlock().text().endsWith(QString::number(limit + 9)));
        // Long lines are bounded in characters as well.
        const QString wide(64 * 1024, QLatin1Char('x'));
        for (int i = 0; i < 200; ++i)
            core.writeLog("internal_functions.cpp", 1, "f", "info", wide + QString::number(i));
        QVERIFY(pane.document()->characterCount() < 8 * 1024 * 1024);
        QVERIFY(pane.document()->lastBlock().text().endsWith(wide + "199"));
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
        QVERIFY(box.styleSheet.startsWith("QDialog {font-size: 20pt;"));
        QVERIFY(box.styleSheet.contains("QPushButton:pressed"));
        // Rounded corners: the mask leaves the corner pixel out and covers the centre.
        QVERIFY(!box.mask.contains(QPoint(0, 0)));
        QVERIFY(box.mask.contains(QPoint(box.size.width() / 2, box.size.height() / 2)));
    }
};

QTEST_MAIN(TestConfigLoader)
#include "tst_configloader.moc"
