#include "gatewaypaths.h"

#include "internal_functions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace
{

const char kFolderName[] = "opcua-sql-gateway";
const char kServiceSettings[] = "/etc/opcua-sql-gateway";
const char kServiceData[] = "/var/lib/opcua-sql-gateway";
const char *const kSettingsFiles[] = {"settings.json", "sql.json", "tags.json"};

QString userFolder(QStandardPaths::StandardLocation location)
{
    return QStandardPaths::writableLocation(location) + QLatin1Char('/') +
           QLatin1String(kFolderName);
}

QString absolute(const QString &folder)
{
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

} // namespace

GatewayPaths::GatewayPaths(Origin origin, const QString &settingsDir, const QString &dataDir)
    : m_origin(origin), m_settingsDir(settingsDir), m_dataDir(dataDir),
      // The portable layout has always kept its certificates with its settings.
      m_pkiDir((origin == Origin::BesideExecutable ? settingsDir : dataDir) +
               QStringLiteral("/pki"))
{
}

GatewayPaths GatewayPaths::besideExecutable()
{
    const QString folder = QCoreApplication::applicationDirPath();
    return GatewayPaths(Origin::BesideExecutable, folder + QStringLiteral("/settings"), folder);
}

// With a folder of its own on the command line, the gateway keeps its data in
// that folder too: nothing of it lands elsewhere.
GatewayPaths GatewayPaths::resolve(Mode mode, const QString &settingsOption)
{
    const GatewayPaths beside = besideExecutable();
    if (QFileInfo(beside.settingsDir()).isDir())
        return beside;
    if (!settingsOption.isEmpty()) {
        const QString folder = absolute(settingsOption);
        return GatewayPaths(Origin::CommandLine, folder, folder);
    }
    if (mode == Mode::Service)
        return GatewayPaths(Origin::System, QLatin1String(kServiceSettings),
                            QLatin1String(kServiceData));
    return GatewayPaths(Origin::User, userFolder(QStandardPaths::GenericConfigLocation),
                        userFolder(QStandardPaths::GenericDataLocation));
}

QString GatewayPaths::defaultsFolder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/" GATEWAY_SHARE_FROM_BIN "/settings"));
}

// The service's folders are the package's and systemd's to make.
void GatewayPaths::prepare() const
{
    if (m_origin == Origin::System)
        return;
    if (m_origin == Origin::User && !QFileInfo::exists(m_settingsDir) &&
        QDir().mkpath(m_settingsDir)) {
        for (const char *file : kSettingsFiles)
            QFile::copy(defaultsFolder() + QLatin1Char('/') + QLatin1String(file),
                        m_settingsDir + QLatin1Char('/') + QLatin1String(file));
    }
    QDir().mkpath(m_dataDir);
}

void GatewayPaths::log(cInternalFunctions &core) const
{
    static const char *const origins[] = {"beside the program", "--settings", "the user's",
                                          "the service's"};
    const QString function = QString::fromUtf8(Q_FUNC_INFO);
    core.writeLog(QStringLiteral("gatewaypaths.cpp"), __LINE__, function, QStringLiteral("info"),
                  QStringLiteral("Settings folder: %1 (%2)")
                      .arg(m_settingsDir, QLatin1String(origins[int(m_origin)])));
    core.writeLog(QStringLiteral("gatewaypaths.cpp"), __LINE__, function, QStringLiteral("info"),
                  QStringLiteral("Data folder: %1 (certificates in %2)").arg(m_dataDir, m_pkiDir));
}
