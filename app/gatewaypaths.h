#ifndef GATEWAYPATHS_H
#define GATEWAYPATHS_H

#include <QString>

class cInternalFunctions;

// Which folder holds the three settings files and which one the gateway's data
// (the SQLite file, the write journal, the certificates under pki/).
class GatewayPaths
{
public:
    // The desktop program keeps its folders in the user's home, the service in
    // the system's folders.
    enum class Mode { Desktop, Service };

    // A settings/ folder beside the executable comes first, so a portable copy
    // and the build tree keep working; then the folder given on the command
    // line; then the user's or the system's folders.
    static GatewayPaths resolve(Mode mode, const QString &settingsOption = QString());
    // The portable layout: settings/ beside the executable, data in its folder.
    static GatewayPaths besideExecutable();
    // Where the package puts the default settings, relative to the executable.
    static QString defaultsFolder();

    // Creates the data folder, and the user's settings folder from the defaults
    // when it does not exist yet.
    void prepare() const;
    // The first log lines: which folders are used.
    void log(cInternalFunctions &core) const;

    const QString &settingsDir() const { return m_settingsDir; }
    const QString &dataDir() const { return m_dataDir; }
    const QString &pkiDir() const { return m_pkiDir; }

private:
    enum class Origin { BesideExecutable, CommandLine, User, System };
    GatewayPaths(Origin origin, const QString &settingsDir, const QString &dataDir);

    Origin m_origin;
    QString m_settingsDir;
    QString m_dataDir;
    QString m_pkiDir;
};

#endif // GATEWAYPATHS_H
