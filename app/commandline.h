#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The program's options. They are read before the application object exists,
// because they decide which one is made (a window needs a GUI application).
class CommandLine
{
public:
    enum class Action { Run, Help, Version, CheckConfig, Error };

    explicit CommandLine(const QStringList &arguments);

    Action action() const { return m_action; }
    // Without a window: asked for, or implied when Qt has no platform to show one on.
    bool headless() const { return m_headless; }
    const QString &settingsFolder() const { return m_settingsFolder; }
    const QString &errorText() const { return m_error; }

    // Needs the application object.
    QString helpText() const { return m_parser.helpText(); }
    static QString versionText();

private:
    QCommandLineParser m_parser;
    Action m_action = Action::Run;
    bool m_headless = false;
    QString m_settingsFolder;
    QString m_error;
};

#endif // COMMANDLINE_H
