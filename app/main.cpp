#include "commandline.h"
#include "configcheck.h"
#include "gatewaypaths.h"
#include "internal_functions.h"
#include "journallog.h"
#include "mainwindow.h"
#include "stopsignals.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>

namespace
{

// The service's start fails with this status (sysexits' EX_CONFIG) when a
// settings file cannot be loaded; its unit does not restart it for that.
constexpr int kConfigurationUnusable = 78;

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

GatewayPaths preparedPaths(const CommandLine &commandLine)
{
    const GatewayPaths paths = GatewayPaths::resolve(
        commandLine.headless() ? GatewayPaths::Mode::Service : GatewayPaths::Mode::Desktop,
        commandLine.settingsFolder());
    paths.prepare();
    return paths;
}

// Prints every problem of the settings the gateway would use; 1 when there is one.
int checkConfig(const CommandLine &commandLine)
{
    const GatewayPaths paths = preparedPaths(commandLine);
    const ConfigCheck check(paths.settingsDir());
    QTextStream out(stdout);
    for (const QString &line : check.report())
        out << line << '\n';
    if (!check.problems().isEmpty())
        return 1;
    out << "The gateway starts as configured in " << paths.settingsDir() << '\n';
    return 0;
}

// The core, the store and the OPC UA server without a window. The files are
// checked first: the core would show a dialog for a file it cannot load.
int runHeadless(const CommandLine &commandLine)
{
    const GatewayPaths paths = preparedPaths(commandLine);
    const ConfigCheck check(paths.settingsDir());
    if (!check.filesLoad()) {
        for (const QString &line : check.report())
            qCritical("%s", qPrintable(line));
        return kConfigurationUnusable;
    }
    bool configLoaded = false;
    cInternalFunctions core(nullptr, &configLoaded, paths);
    paths.log(core);
    core.InitOPC();
    core.InitSQL();
    core.m_ready = true;
    return QCoreApplication::exec();
}

// What the command line asks for other than running: help, the versions, a
// configuration check, or what is wrong with it (status 2).
int answer(const CommandLine &commandLine)
{
    switch (commandLine.action()) {
    case CommandLine::Action::Help:
        QTextStream(stdout) << commandLine.helpText();
        return 0;
    case CommandLine::Action::Version:
        QTextStream(stdout) << CommandLine::versionText();
        return 0;
    case CommandLine::Action::CheckConfig:
        return checkConfig(commandLine);
    default:
        QTextStream(stderr) << commandLine.errorText() << "\n\n" << commandLine.helpText();
        return 2;
    }
}

int runWindow(const CommandLine &commandLine)
{
    MainWindow window(nullptr, preparedPaths(commandLine));
    window.show();
    return QApplication::exec();
}

} // namespace

// A window needs a GUI application, the service only the core one: the
// command line decides which is made. The core runs under either, since a
// null log pane keeps it off the widgets. After the loop the window or the
// core is destroyed, which stops the store (it writes or keeps pending values).
int main(int argc, char *argv[])
{
    JournalLog::install();
    const CommandLine commandLine(argumentsOf(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("opcua-sql-gateway"));
    QCoreApplication::setApplicationVersion(QStringLiteral(GATEWAY_VERSION));
    if (commandLine.action() != CommandLine::Action::Run) {
        QCoreApplication application(argc, argv);
        return answer(commandLine);
    }
    if (commandLine.headless()) {
        QCoreApplication application(argc, argv);
        StopSignals::install();
        return runHeadless(commandLine);
    }
    QApplication application(argc, argv);
    StopSignals::install();
    return runWindow(commandLine);
}
