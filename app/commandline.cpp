#include "commandline.h"

#include <open62541/config.h>

#include <QCommandLineOption>
#include <QCoreApplication>

namespace
{

bool hasDisplayPlatform()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

CommandLine::CommandLine(const QStringList &arguments)
{
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Read the settings from DIR and keep the data (database file, write "
                       "journal, pki/) there too."),
        QStringLiteral("DIR"));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window (implied when there is no display)."));
    const QCommandLineOption checkConfig(
        QStringLiteral("check-config"),
        QStringLiteral("Check the three settings files, print every problem and exit with 1 "
                       "when there is one, else 0."));
    // Qt's own -platform, which a window application takes from the command line.
    QCommandLineOption platform(QStringLiteral("platform"), QStringLiteral("Qt's platform."),
                                QStringLiteral("NAME"));
    platform.setFlags(QCommandLineOption::HiddenFromHelp);

    m_parser.setApplicationDescription(
        QStringLiteral("OPC UA server whose tags stay in sync with the SQL table \"tags\"."));
    // Qt's options are single-dash words (-platform offscreen).
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = m_parser.addHelpOption();
    const QCommandLineOption version = m_parser.addVersionOption();
    m_parser.addOptions({settings, headless, checkConfig, platform});

    if (!m_parser.parse(arguments))
        m_error = m_parser.errorText();
    else if (!m_parser.positionalArguments().isEmpty())
        m_error = QStringLiteral("Unexpected argument: ") + m_parser.positionalArguments().first();
    if (!m_error.isEmpty())
        m_action = Action::Error;
    else if (m_parser.isSet(help) || m_parser.isSet(QStringLiteral("help-all")))
        m_action = Action::Help;
    else if (m_parser.isSet(version))
        m_action = Action::Version;
    else if (m_parser.isSet(checkConfig))
        m_action = Action::CheckConfig;
    m_headless = m_parser.isSet(headless) || (!m_parser.isSet(platform) && !hasDisplayPlatform());
    m_settingsFolder = m_parser.value(settings);
}

QString CommandLine::versionText()
{
    return QStringLiteral("opcua-sql-gateway %1\nOPC UA stack: open62541 %2.%3.%4\nQt: %5 "
                          "(built with %6)\n")
        .arg(QStringLiteral(GATEWAY_VERSION))
        .arg(UA_OPEN62541_VER_MAJOR)
        .arg(UA_OPEN62541_VER_MINOR)
        .arg(UA_OPEN62541_VER_PATCH)
        .arg(QLatin1String(qVersion()), QStringLiteral(QT_VERSION_STR));
}
