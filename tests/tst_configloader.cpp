// The gateway core's configuration loader, log sink and error dialog; the
// configuration check, the folders the settings and data are taken from, and
// when the program runs without a window.
#include "commandline.h"
#include "configcheck.h"
#include "gatewaypaths.h"
#include "support/gatewayfixture.h"
#include "support/messageboxcatcher.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>

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

const QByteArray kGoodTags = R"({"FolderMain": {"FolderName": "Main", "NodeId": 1},
    "FolderSub": {"FolderName": "Sub", "NodeId": 2}})";

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
        pane.flush();
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

    // Each row breaks one thing in otherwise good files; the check reports
    // exactly that problem with its file and key.
    void configCheckNamesFileAndKey_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: no such file
        QTest::addColumn<QString>("problem");    // empty: none
        const auto row = [](const char *name, const char *file, const QByteArray &content,
                            const QString &problem) {
            QTest::newRow(name) << QString(file) << content << problem;
        };
        row("good", "tags.json", kGoodTags, QString());
        row("no file", "sql.json", QByteArray(), "sql.json: not found: the gateway does not start");
        row("bad JSON", "tags.json", "{\"a\": ",
            "tags.json: invalid JSON (unterminated object at character 6): the gateway does not "
            "start");
        row("not an object", "tags.json", "[1,2]",
            "tags.json: not a JSON object: the gateway does not start");
        row("port as text", "settings.json", R"({"opcua_port": "4840"})",
            R"(settings.json: opcua_port: "4840" is not a port number (1-65535): OPC UA is not served)");
        row("port out of range", "settings.json", R"({"opcua_port": 70000})",
            "settings.json: opcua_port: 70000 is not a port number (1-65535): OPC UA is not "
            "served");
        row("switch of a wrong type", "settings.json",
            R"({"opcua_port": 4840, "Console": {"OutputEnable": "yes"}})",
            R"(settings.json: Console.OutputEnable: "yes" is not true or false: read as false: no log lines in the Console sink)");
        row("unknown security policy", "settings.json",
            R"({"opcua_port": 4840, "opcua_Security": ["None", "Basic128"]})",
            R"(settings.json: opcua_Security[1]: unknown security policy "Basic128" ()" +
                QUaServer::supportedSecurityPolicies().join(", ") + "): skipped");
        row("unknown database type", "sql.json",
            R"({"sql_enable": true, "database_type": "MYSQL"})",
            R"(sql.json: database_type: "MYSQL" is not SQLLITE, MSSQL or POSTGRESQL: the gateway runs without a database)");
        row("column without a name", "sql.json",
            R"({"sql_enable": true, "database_type": "SQLLITE", "database_localpath": "/g.db",
                "Tables": [{"TableName": "t", "Columns": [{"Type": "TEXT"}]}]})",
            "sql.json: Tables[0].Columns[0].Name: missing: the table is not created");
        row("unknown tag format", "tags.json",
            kGoodTags.left(kGoodTags.size() - 1) +
                R"(, "PreloadTags": true, "Tags": [{"TagName": "A", "NodeId": "A",
                "Format": "Int33", "Value": 1, "WriteAccess": true}]})",
            R"(tags.json: Tags[0].Format: unknown format "Int33": the tag is skipped)");
        row("property without a node id", "tags.json",
            kGoodTags.left(kGoodTags.size() - 1) +
                R"(, "Properties": [{"PropName": "Site", "Value": 1}]})",
            "tags.json: Properties[0].NodeId: missing: the property is skipped");
    }
    void configCheckNamesFileAndKey()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, problem);
        writeValidFiles(R"({"opcua_port": 4840})");
        TestSettings::write("tags.json", kGoodTags);
        if (content.isNull())
            QFile::remove(TestSettings::folder() + '/' + file);
        else
            TestSettings::write(file, content);
        const ConfigCheck check(TestSettings::folder());
        QCOMPARE(check.report(), problem.isEmpty()
                                     ? QStringList()
                                     : QStringList{TestSettings::folder() + '/' + problem});
        QCOMPARE(check.filesLoad(), !problem.contains("does not start"));
    }

    // A settings/ folder beside the program wins, then --settings, then the
    // user's folders (made from the defaults) or the service's.
    void foldersFollowTheirOrder_data()
    {
        QTest::addColumn<bool>("besideProgram");
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("service");
        QTest::addColumn<QString>("settings"); // "~" stands for the temporary home
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("pki");
        const QString program = QCoreApplication::applicationDirPath();
        QTest::newRow("beside the program") << true << "~/given" << true << program + "/settings"
                                            << program << program + "/settings/pki";
        QTest::newRow("--settings") << false << "~/given/" << true << "~/given"
                                    << "~/given"
                                    << "~/given/pki";
        QTest::newRow("desktop") << false << QString() << false << "~/config/opcua-sql-gateway"
                                 << "~/data/opcua-sql-gateway"
                                 << "~/data/opcua-sql-gateway/pki";
        QTest::newRow("service") << false << QString() << true << "/etc/opcua-sql-gateway"
                                 << "/var/lib/opcua-sql-gateway"
                                 << "/var/lib/opcua-sql-gateway/pki";
    }
    void foldersFollowTheirOrder()
    {
        QFETCH(bool, besideProgram);
        QFETCH(QString, option);
        QFETCH(bool, service);
        QFETCH(QString, settings);
        QFETCH(QString, data);
        QFETCH(QString, pki);
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
        const QString defaults = GatewayPaths::defaultsFolder();
        QVERIFY(QDir().mkpath(defaults));
        TestSettings::clear();
        TestSettings::write("settings.json", R"({"opcua_port": 4840})");
        QVERIFY(
            QFile::copy(TestSettings::folder() + "/settings.json", defaults + "/settings.json"));
        if (!besideProgram)
            QDir(TestSettings::folder()).removeRecursively();

        const GatewayPaths paths = GatewayPaths::resolve(service ? GatewayPaths::Mode::Service
                                                                 : GatewayPaths::Mode::Desktop,
                                                         option.replace('~', home.path()));
        paths.prepare();
        QDir(defaults).removeRecursively();
        QCOMPARE(paths.settingsDir(), settings.replace('~', home.path()));
        QCOMPARE(paths.dataDir(), data.replace('~', home.path()));
        QCOMPARE(paths.pkiDir(), pki.replace('~', home.path()));
        // The user's folder starts with the defaults; the data folder is there to write.
        if (!service) {
            QVERIFY(QFile::exists(paths.settingsDir() + "/settings.json"));
            QVERIFY(QFileInfo(paths.dataDir()).isDir());
        }
    }

    // Headless when asked, or when Qt would have no platform for a window.
    void headlessOnlyWithoutPlatform_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("variable"); // set to a value; empty: none
        QTest::addColumn<bool>("headless");
        QTest::newRow("no platform") << QStringList() << QByteArray() << true;
        QTest::newRow("X display") << QStringList() << QByteArray("DISPLAY") << false;
        QTest::newRow("Wayland") << QStringList() << QByteArray("WAYLAND_DISPLAY") << false;
        QTest::newRow("Qt platform") << QStringList() << QByteArray("QT_QPA_PLATFORM") << false;
        QTest::newRow("-platform")
            << QStringList{"-platform", "offscreen"} << QByteArray() << false;
        QTest::newRow("--headless") << QStringList{"--headless"} << QByteArray("DISPLAY") << true;
    }
    void headlessOnlyWithoutPlatform()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, variable);
        QFETCH(bool, headless);
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            qunsetenv(name);
        if (!variable.isEmpty())
            qputenv(variable.constData(), "x");
        const CommandLine commandLine(QStringList{"opcua-sql-gateway"} + arguments);
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            qunsetenv(name);
        qputenv("QT_QPA_PLATFORM", platform);
        QCOMPARE(commandLine.action(), CommandLine::Action::Run);
        QCOMPARE(commandLine.headless(), headless);
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
