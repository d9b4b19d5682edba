// How the OPC UA server shares the GUI thread: idle CPU, and the longest stall
// of the Qt event loop while clients work, for the server's own way of driving
// the stack and, for comparison, for iterating the stack with its own network
// wait or without any wait from a zero-interval timer.
//
// Usage: bench_iteration [seconds per phase, default 5]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/server_config_default.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "bench_opcua.h"
#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "quaserver.h"

namespace
{

constexpr int kVariables = 100;
constexpr int kClients = 4;

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void silentLog(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}

struct Figures {
    double cpuPercent = 0;     // of one core, whole process
    double longestStallMs = 0; // longest gap of a 1 ms timer beyond its interval
    double requestsPerSecond = 0;
    double meanLatencyMs = 0;
};

// Runs the Qt event loop for the duration with the given clients working and,
// when asked, a 1 ms timer whose longest gap tells how long the loop was held
// (the timer's own wake-ups would blur the idle CPU figure).
Figures measure(int seconds, quint16 port, int clients, bool probeStalls)
{
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::atomic<long> latencyMicros{0};
    std::vector<std::thread> workers;
    for (int c = 0; c < clients; ++c) {
        workers.emplace_back([&, c] {
            UA_Client *client = UA_Client_new();
            UA_ClientConfig *config = UA_Client_getConfig(client);
            UA_ClientConfig_setDefault(config);
            config->logging->log = &silentLog;
            const QByteArray url = QStringLiteral("opc.tcp://127.0.0.1:%1").arg(port).toUtf8();
            if (UA_Client_connect(client, url.constData()) != UA_STATUSCODE_GOOD) {
                std::fprintf(stderr, "client %d could not connect\n", c);
                UA_Client_delete(client);
                return;
            }
            QElapsedTimer clock;
            for (UA_Int32 i = 0; !stop; ++i) {
                const UA_NodeId id = UA_NODEID_NUMERIC(1, UA_UInt32(1000 + i % kVariables));
                UA_Variant value;
                clock.start();
                if (i % 2) {
                    UA_Variant_setScalar(&value, &i, &UA_TYPES[UA_TYPES_INT32]);
                    UA_Client_writeValueAttribute(client, id, &value);
                } else {
                    UA_Variant_init(&value);
                    UA_Client_readValueAttribute(client, id, &value);
                    UA_Variant_clear(&value);
                }
                latencyMicros += clock.nsecsElapsed() / 1000;
                ++requests;
            }
            UA_Client_disconnect(client);
            UA_Client_delete(client);
        });
    }

    QElapsedTimer wall;
    QElapsedTimer tick;
    qint64 longestGapNs = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longestGapNs = qMax(longestGapNs, tick.nsecsElapsed());
        tick.start();
    });
    // Clients need a moment to connect; the figures start after it.
    double cpuStart = 0;
    QTimer::singleShot(500, [&] {
        requests = 0;
        latencyMicros = 0;
        longestGapNs = 0;
        cpuStart = processCpuSeconds();
        wall.start();
    });
    tick.start();
    if (probeStalls) {
        probe.start(1);
    }
    QTimer::singleShot(seconds * 1000 + 500, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpu = processCpuSeconds() - cpuStart;
    const double elapsed = wall.nsecsElapsed() / 1e9;
    stop = true;
    for (std::thread &worker : workers) {
        worker.join();
    }

    Figures figures;
    figures.cpuPercent = 100.0 * cpu / elapsed;
    figures.longestStallMs = probeStalls ? qMax(0.0, longestGapNs / 1e6 - 1.0) : -1;
    figures.requestsPerSecond = requests / double(seconds);
    figures.meanLatencyMs = requests ? latencyMicros / 1000.0 / requests : 0;
    return figures;
}

void print(const char *mode, const char *load, const Figures &figures)
{
    const QByteArray stall = figures.longestStallMs < 0
                                 ? QByteArray("-")
                                 : QByteArray::number(figures.longestStallMs, 'f', 1) + " ms";
    std::printf("%-34s %-18s %6.1f %% %14s %10.0f/s %9.2f ms\n", mode, load, figures.cpuPercent,
                stall.constData(), figures.requestsPerSecond, figures.meanLatencyMs);
    std::fflush(stdout);
}

// Idle CPU without the probe, the idle stall with it, then clients at work.
void measureAll(const char *mode, int seconds, quint16 port)
{
    print(mode, "idle", measure(seconds, port, 0, false));
    print(mode, "idle, 1 ms probe", measure(seconds, port, 0, true));
    print(mode, "4 clients + probe", measure(seconds, port, kClients, true));
}

void benchObjectLayer(int seconds)
{
    QUaServer server;
    server.setPort(bench::freeLoopbackPort());
    QUaFolderObject *folder = server.objectsFolder()->addFolderObject(QUaQualifiedName(1, "Bench"));
    long changes = 0;
    for (int i = 0; i < kVariables; ++i) {
        QUaBaseDataVariable *variable = folder->addBaseDataVariable(
            QUaQualifiedName(1, QStringLiteral("Tag%1").arg(i)), QUaNodeId(1, quint32(1000 + i)));
        variable->setDataType(QMetaType::Int);
        variable->setWriteAccess(true);
        QObject::connect(variable, &QUaBaseVariable::valueChanged, [&changes] { ++changes; });
    }
    server.start();
    measureAll("object layer (sockets watched)", seconds, server.port());
    std::printf("  (valueChanged signals received: %ld)\n", changes);
}

// The stack driven the plain way from a zero-interval timer, for comparison.
void benchPlainIteration(int seconds, bool waitInternal)
{
    static UA_Logger silentLogger = {&silentLog, nullptr, nullptr};
    UA_ServerConfig config;
    std::memset(&config, 0, sizeof(config));
    config.logging = &silentLogger;
    const quint16 port = bench::freeLoopbackPort();
    UA_ServerConfig_setMinimal(&config, port, nullptr);
    UA_Server *server = UA_Server_newWithConfig(&config);
    for (int i = 0; i < kVariables; ++i) {
        UA_VariableAttributes attributes = UA_VariableAttributes_default;
        UA_Int32 zero = 0;
        UA_Variant_setScalar(&attributes.value, &zero, &UA_TYPES[UA_TYPES_INT32]);
        attributes.dataType = UA_TYPES[UA_TYPES_INT32].typeId;
        attributes.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
        UA_Server_addVariableNode(
            server, UA_NODEID_NUMERIC(1, UA_UInt32(1000 + i)),
            UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER), UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
            UA_QUALIFIEDNAME(1, const_cast<char *>("Tag")),
            UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr, nullptr);
    }
    UA_Server_run_startup(server);
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout,
                     [server, waitInternal] { UA_Server_run_iterate(server, waitInternal); });
    driver.start(0);
    const char *mode =
        waitInternal ? "plain, iterate(true), 0 ms timer" : "plain, iterate(false), 0 ms timer";
    measureAll(mode, seconds, port);
    driver.stop();
    UA_Server_run_shutdown(server);
    UA_Server_delete(server);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 5;
    std::printf(
        "%d variables, %d s per phase; stall = longest gap of a 1 ms Qt timer beyond 1 ms\n",
        kVariables, seconds);
    std::printf("%-34s %-18s %8s %14s %12s %12s\n", "driving the stack", "load", "CPU",
                "longest stall", "requests", "latency");
    benchObjectLayer(seconds);
    benchPlainIteration(seconds, true);
    benchPlainIteration(seconds, false);
    return 0;
}
