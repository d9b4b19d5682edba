// What client sessions leave behind: the resident memory of the process after
// 100 and after 2 400 connect–activate–close cycles of clients on 4 worker
// threads, for the object layer's server and, for comparison, for a bare stack
// server under the same loop. Each server runs in a process of its own (this
// program started again with the server's name), so that neither inherits the
// other's freed heap.
//
// Usage: bench_sessions [layer|bare]   (no argument: both, one table)

#include <QCoreApplication>
#include <QProcess>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "bench_opcua.h"
#include "bench_proc.h"
#include "quaserver.h"
#include "support/testclient.h"

namespace
{

constexpr int kWarmUpCycles = 100;
constexpr int kTotalCycles = 2400;
constexpr int kWorkers = 4;

struct Resident {
    long afterWarmUpKiB = 0;
    long afterAllKiB = 0;
};

// Connects (and activates a session), then closes, one client after the
// other on each of the workers; false when a connection fails. The client
// library waits 100 ms for the server to close the connection, so that the
// workers share the cycles.
bool runCycles(const QByteArray &url, int cycles)
{
    std::atomic<int> started{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            while (!failed && started++ < cycles) {
                failed = failed || !bench::connectClient(url, 3);
            }
        });
    }
    for (std::thread &worker : workers) {
        worker.join();
    }
    return !failed;
}

// The clients run on a worker thread while this thread's Qt event loop serves.
bool runCyclesServedByQt(const QByteArray &url, int cycles)
{
    std::future<bool> done = std::async(std::launch::async, runCycles, url, cycles);
    const bool served = resultServedByQt(done);
    // Records deleted later go now, before the figure is read.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return served;
}

long residentNowKiB()
{
    return bench::residentKiB(QCoreApplication::applicationPid());
}

bool measureObjectLayer(Resident *resident)
{
    QUaServer server;
    server.setPort(bench::freeLoopbackPort());
    if (!server.start()) {
        return false;
    }
    const QByteArray url = bench::loopbackUrl(server.port());
    if (!runCyclesServedByQt(url, kWarmUpCycles)) {
        return false;
    }
    resident->afterWarmUpKiB = residentNowKiB();
    if (!runCyclesServedByQt(url, kTotalCycles - kWarmUpCycles)) {
        return false;
    }
    resident->afterAllKiB = residentNowKiB();
    const QUaServer::ClientRecords records = server.clientRecords();
    std::fprintf(stderr, "object layer holds %d sessions, %d connections, %d socket notifiers\n",
                 records.sessions, records.connections, records.socketNotifiers);
    return true;
}

bool measureBareServer(Resident *resident)
{
    const bench::TagNodes noTags(1, 0);
    bench::BareServer server(noTags);
    if (!runCycles(server.url(), kWarmUpCycles)) {
        return false;
    }
    resident->afterWarmUpKiB = residentNowKiB();
    if (!runCycles(server.url(), kTotalCycles - kWarmUpCycles)) {
        return false;
    }
    resident->afterAllKiB = residentNowKiB();
    return true;
}

// Prints "<KiB after the warm-up> <KiB after all cycles>" for one server.
int measureOne(const QByteArray &which)
{
    Resident resident;
    const bool measured = which == "layer"  ? measureObjectLayer(&resident)
                          : which == "bare" ? measureBareServer(&resident)
                                            : false;
    if (!measured) {
        std::fprintf(stderr, "bench_sessions %s: a client could not connect\n", which.constData());
        return 1;
    }
    std::printf("%ld %ld\n", resident.afterWarmUpKiB, resident.afterAllKiB);
    return 0;
}

bool printRow(const char *label, const QString &which)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {which});
    if (!child.waitForFinished(-1) || child.exitCode() != 0) {
        return false;
    }
    const QList<QByteArray> figures = child.readAllStandardOutput().simplified().split(' ');
    const double warmUpMiB = figures.value(0).toLong() / 1024.0;
    const double allMiB = figures.value(1).toLong() / 1024.0;
    std::printf("%-14s %12.1f MiB %12.1f MiB %+10.2f MiB\n", label, warmUpMiB, allMiB,
                allMiB - warmUpMiB);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 1) {
        return measureOne(argv[1]);
    }
    std::printf("resident memory after connect-activate-close cycles, %d clients at a time\n",
                kWorkers);
    std::printf("%-14s %16s %16s %14s\n", "server", "100 cycles", "2400 cycles", "growth");
    std::fflush(stdout);
    const bool ok = printRow("object layer", QStringLiteral("layer")) &&
                    printRow("bare stack", QStringLiteral("bare"));
    return ok ? 0 : 1;
}
