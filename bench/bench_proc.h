// Resident memory and CPU time of a process, read from /proc.
#pragma once

#include <QFile>
#include <QList>

#include <unistd.h>

#include <thread>

#include "bench_stats.h"

namespace bench
{

// VmRSS of /proc/<pid>/status in KiB; 0 when unreadable.
inline long residentKiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    // Files under /proc report no size, so they are read whole rather than by line.
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).simplified().split(' ').value(0).toLong();
        }
    }
    return 0;
}

// User plus system time of all the process's threads; 0 when unreadable.
inline double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    // The command name in parentheses may hold blanks; utime and stime are the
    // 14th and 15th fields, the 12th and 13th after the name.
    const QByteArray line = file.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return 0;
    }
    return double(fields[11].toLongLong() + fields[12].toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

// CPU use of the process over the given time, in percent of one core.
inline Figure measureCpuUse(qint64 pid, double seconds)
{
    Figure figure;
    figure.unit = "%";
    const double before = cpuSeconds(pid);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    figure.value = 100.0 * (cpuSeconds(pid) - before) / secondsSince(start);
    return figure;
}

} // namespace bench
