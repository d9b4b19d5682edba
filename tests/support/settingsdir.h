#ifndef SETTINGSDIR_H
#define SETTINGSDIR_H

#include <QByteArray>
#include <QDir>
#include <QString>

// Lays out the settings/ folder beside the running test executable, where the
// gateway core looks for its three configuration files. Each test executable
// has a folder of its own, so tests never share these files.
namespace TestSettings
{

inline QString folder()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings");
}

inline void clear()
{
    QDir(folder()).removeRecursively();
    QDir().mkpath(folder());
}

inline void write(const QString &name, const QByteArray &content)
{
    QFile file(folder() + QLatin1Char('/') + name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

} // namespace TestSettings

#endif // SETTINGSDIR_H
