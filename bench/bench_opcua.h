// OPC UA side of the benchmarks: clients of the stack, the tag nodes they
// address, a bare stack server without the Qt object layer, and the loads
// and probes that run against either server.
#pragma once

#include <QByteArray>

#include <open62541/client.h>
#include <open62541/server.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "support/freeport.h"

namespace bench
{

using ::freeLoopbackPort;
QByteArray loopbackUrl(quint16 port);

struct ClientDeleter {
    void operator()(UA_Client *client) const;
};
using ClientPtr = std::unique_ptr<UA_Client, ClientDeleter>;

// A client with the stack's log silenced and a 10 s request timeout,
// connected anonymously, or null after the given number of attempts 100 ms apart.
ClientPtr connectClient(const QByteArray &url, int attempts = 1);

// The string node ids of the rows' tags, "tag1" … "tag<rows>", in one namespace.
class TagNodes
{
public:
    TagNodes(UA_UInt16 namespaceIndex, int rows);
    int rows() const { return int(m_keys.size()); }
    // Row numbers run from 1, like the ids of the table.
    UA_NodeId nodeId(int row) const;
    int randomRow(std::mt19937 &random) const;

private:
    UA_UInt16 m_namespace;
    std::vector<QByteArray> m_keys;
};

UA_StatusCode writeInt32(UA_Client *client, const UA_NodeId &node, UA_Int32 value);

// Raw A: sequential single-value writes of random tags, each one round trip.
Figure measureWriteRoundTrips(UA_Client *client, const TagNodes &nodes, const Budget &budget,
                              std::mt19937 &random);

// A client reading the server's current time every few milliseconds from a
// thread of its own, connecting as soon as the server accepts it: its
// latencies show how long the server leaves requests waiting.
class ReadProbe
{
public:
    explicit ReadProbe(const QByteArray &url);
    ~ReadProbe();
    ReadProbe(const ReadProbe &) = delete;
    ReadProbe &operator=(const ReadProbe &) = delete;

    // Ends the reads: their latencies in ms, value = the longest; when none
    // completed, value = how long the probe waited, a lower bound.
    Figure stop();

private:
    void run(const QByteArray &url);

    std::atomic<bool> m_stop{false};
    Figure m_figure;
    Clock::time_point m_start = Clock::now();
    std::thread m_thread;
};

// Clients writing at full speed, each to a share of the rows of its own
// (row % writers), so every row's last value is known; values count up from
// firstValue.
class WriteLoad
{
public:
    WriteLoad(const QByteArray &url, const TagNodes &nodes, int writers, int firstValue);
    ~WriteLoad();
    WriteLoad(const WriteLoad &) = delete;
    WriteLoad &operator=(const WriteLoad &) = delete;

    long writes() const { return m_writes; }
    long failures() const { return m_failures; }
    double secondsRunning() const { return secondsSince(m_start); }
    // Ends the writes: the last value each written row was given.
    RowValues stop();

private:
    void write(const QByteArray &url, const TagNodes &nodes, int writer, int writers,
               int firstValue);

    std::atomic<bool> m_stop{false};
    std::atomic<long> m_writes{0};
    std::atomic<long> m_failures{0};
    std::vector<RowValues> m_lastValues; // one per writer
    std::vector<std::thread> m_threads;
    Clock::time_point m_start = Clock::now();
};

// A write load with a read probe after a short warm-up.
struct LoadFigures {
    Figure probe;          // read latencies, ms; value = the longest
    Figure writes;         // value = writes per second of all writers together
    RowValues lastValues;  // each written row's last value
    long totalWrites = 0;  // warm-up included
    double runSeconds = 0; // warm-up included
};
LoadFigures measureUnderWriteLoad(const QByteArray &url, const TagNodes &nodes, int writers,
                                  double seconds, int firstValue);

// The stack's server with one writable Int32 variable per row, served from a
// thread of its own with the stack's own network loop, on 127.0.0.1 only.
class BareServer
{
public:
    explicit BareServer(const TagNodes &nodes);
    ~BareServer();
    BareServer(const BareServer &) = delete;
    BareServer &operator=(const BareServer &) = delete;

    QByteArray url() const { return loopbackUrl(m_port); }
    double secondsToAddVariables() const { return m_addSeconds; }
    double residentGrowthKiB() const { return m_residentGrowthKiB; }

private:
    void addVariables(const TagNodes &nodes);

    quint16 m_port;
    UA_Server *m_server = nullptr;
    volatile UA_Boolean m_running = true;
    std::thread m_thread;
    double m_addSeconds = 0;
    double m_residentGrowthKiB = 0;
};

} // namespace bench
