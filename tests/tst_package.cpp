// The Debian package as scripts/test.sh built and unpacked it (dpkg -x) into
// the root named by GATEWAY_PACKAGE_ROOT: the installed program answers its
// command line and runs as its service runs it.
#include "support/syncfixture.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace
{

QString packageRoot()
{
    return qEnvironmentVariable("GATEWAY_PACKAGE_ROOT");
}

QString installedProgram()
{
    return packageRoot() + QStringLiteral("/usr/bin/opcua-sql-gateway");
}

QString packagedDefaults()
{
    return packageRoot() + QStringLiteral("/usr/share/opcua-sql-gateway/settings");
}

// A settings folder holding the package's defaults, one file replaced unless content is null.
void copyDefaults(const QString &folder, const char *replaced, const QByteArray &content)
{
    for (const QString &name : QDir(packagedDefaults()).entryList(QDir::Files))
        QFile::copy(packagedDefaults() + '/' + name, folder + '/' + name);
    if (content.isNull())
        return;
    QFile::remove(folder + '/' + replaced);
    QFile file(folder + '/' + replaced);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

// "device:inode" of a file, as systemd names the journal's stream.
QByteArray journalStreamOf(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return QByteArray::number(quint64(status.st_dev)) + ':' +
           QByteArray::number(quint64(status.st_ino));
}

// Runs the statements on the SQLite file; the first field of the last one's result.
QString runSql(const QString &databaseFile, const QStringList &statements)
{
    QString value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(databaseFile);
        QSqlQuery query(db);
        for (const QString &statement : statements)
            if (!db.open() || !query.exec(statement))
                return query.lastError().text();
        if (query.next())
            value = query.value(0).toString();
    }
    QSqlDatabase::removeDatabase("check");
    return value;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!packageRoot().isEmpty(),
                 "GATEWAY_PACKAGE_ROOT is not set: scripts/test.sh builds and unpacks the package");
        QVERIFY2(QFileInfo(installedProgram()).isExecutable(), qPrintable(installedProgram()));
    }

    // Exit status and output of the installed program; broken settings are the
    // package's defaults with one file replaced.
    void commandLineAnswers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("brokenSettings"); // null: the packaged defaults
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0
                                 << QStringLiteral("OPC UA stack: open62541 1.4.");
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0
                              << QStringLiteral("--check-config");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray() << 2
                                        << QStringLiteral("Unknown option 'bogus'");
        QTest::newRow("defaults pass") << QStringList{"--check-config"} << QByteArray() << 0
                                       << QStringLiteral("The gateway starts as configured");
        QTest::newRow("port out of range")
            << QStringList{"--check-config"} << QByteArray(R"({"opcua_port": 70000})") << 1
            << QStringLiteral("settings.json: opcua_port: 70000 is not a port number");
    }
    void commandLineAnswers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, brokenSettings);
        QFETCH(int, status);
        QFETCH(QString, output);
        QTemporaryDir settings;
        if (arguments.contains("--check-config")) {
            arguments << "--settings" << settings.path();
            copyDefaults(settings.path(), "settings.json", brokenSettings);
        }
        QProcess program;
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(installedProgram(), arguments);
        QVERIFY(program.waitForFinished(10000));
        const QString printed = QString::fromLocal8Bit(program.readAll());
        QVERIFY2(printed.contains(output), qPrintable(printed));
        QCOMPARE(program.exitCode(), status);
    }

    // As the unit runs it: headless, its standard error the journal's stream.
    // A client's value written just before SIGTERM is in its row afterwards.
    void serviceServesAndStopsCleanly()
    {
        QTemporaryDir folder;
        const quint16 port = freeLoopbackPort();
        const auto write = [&folder](const char *name, const QByteArray &content) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        };
        write("settings.json", jsonText({{"opcua_port", port},
                                         {"opcua_AnonymousLoginAllowed", true},
                                         {"opcua_Security", QJsonArray{"None", "Bogus"}},
                                         {"Console", QJsonObject{{"OutputEnable", true}}}}));
        write("sql.json", jsonText(sqliteConfig("/gateway.db")));
        write("tags.json", tagsFile(R"({"TagName": "Pump1", "NodeId": "Pump1",
            "Format": "Int32", "Value": 3, "WriteAccess": true})"));
        write("journal", {});
        const QString database = folder.filePath("gateway.db");
        QCOMPARE(runSql(database, {kCreateTags, "INSERT INTO tags VALUES "
                                                "(1, '1', 'Pump1', '3', 'w', '', 'Int32')"}),
                 QString());

        QProcess service;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("JOURNAL_STREAM", journalStreamOf(folder.filePath("journal")));
        service.setProcessEnvironment(environment);
        service.setStandardErrorFile(folder.filePath("journal"), QIODevice::Append);
        service.start(installedProgram(), {"--headless", "--settings", folder.path()});
        QVERIFY(service.waitForStarted());

        TestClient client;
        QTRY_COMPARE_WITH_TIMEOUT(client.connect(port), UA_STATUSCODE_GOOD, 10000);
        const QUaNodeId pump(QStringLiteral("ns=0;s=Pump1"));
        QCOMPARE(client.readValue(pump), QVariant(3));
        QCOMPARE(client.writeValue(pump, 7), UA_STATUSCODE_GOOD);

        QElapsedTimer stopping;
        stopping.start();
        service.terminate();
        QVERIFY(service.waitForFinished(5000));
        QVERIFY2(stopping.elapsed() < 5000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 0);
        // The stop writes what the store still holds (or keeps it in its journal).
        QCOMPARE(runSql(database, {"SELECT value FROM tags WHERE key = 'Pump1'"}),
                 QStringLiteral("7"));

        QFile journal(folder.filePath("journal"));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QString lines = QString::fromLocal8Bit(journal.readAll());
        for (const QString &expected :
             {"<6>\"[^\"]* > Settings folder: " + QRegularExpression::escape(folder.path()) +
                  " \\(--settings\\)\"",
              "<6>\"[^\"]* > Data folder: " + QRegularExpression::escape(folder.path()),
              QStringLiteral("<3>\"[^\"]* > Unknown OPC UA security policy \\\\\"Bogus\\\\\""),
              QStringLiteral("<7>Connected ")})
            QVERIFY2(lines.contains(QRegularExpression("(^|\n)" + expected)),
                     qPrintable(expected + "\n" + lines));
    }
};

QTEST_MAIN(TestPackage)
#include "tst_package.moc"
