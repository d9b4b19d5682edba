#include "journallog.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// systemd names the stream in JOURNAL_STREAM as "device:inode"; a program
// whose standard error was redirected elsewhere keeps the plain format.
bool standardErrorIsJournal()
{
    const QList<QByteArray> stream = qgetenv("JOURNAL_STREAM").split(':');
    struct stat status = {};
    if (stream.size() != 2 || fstat(STDERR_FILENO, &status) != 0)
        return false;
    return stream[0].toULongLong() == quint64(status.st_dev) &&
           stream[1].toULongLong() == quint64(status.st_ino);
}

const char *priorityPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "<7>";
    case QtInfoMsg:
        return "<6>";
    case QtWarningMsg:
        return "<4>";
    case QtCriticalMsg:
        return "<3>";
    case QtFatalMsg:
        return "<2>";
    }
    return "<6>";
}

// Each line of a message is a journal entry of its own, so each gets the prefix.
void writeToJournal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString text = qFormatLogMessage(type, context, message);
    for (const QString &line : text.split(QLatin1Char('\n')))
        std::fprintf(stderr, "%s%s\n", priorityPrefix(type), line.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

bool JournalLog::install()
{
    if (!standardErrorIsJournal())
        return false;
    qInstallMessageHandler(&writeToJournal);
    return true;
}
