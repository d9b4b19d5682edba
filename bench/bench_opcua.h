// OPC UA side of the benchmarks: clients of the stack, the tag nodes they
// address, a bare stack server without the Qt object layer, and the loads
// and probes that run against either server.
#pragma once

#include <QByteArray>

#include <open62541/client.h>
#include <open62541/server.h>

#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "bench_stats.h"

namespace bench
{

quint16 freeLoopbackPort();
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

// Clients writing random tags at full speed while a probe client reads the
// server's current time every few milliseconds: the probe's latencies show
// how long the server left requests waiting.
struct LoadFigures {
    Figure probe;  // read latencies, ms; value = the longest
    Figure writes; // value = writes per second of all writers together
};
LoadFigures measureUnderWriteLoad(const QByteArray &url, const TagNodes &nodes, int writers,
                                  double seconds);

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
