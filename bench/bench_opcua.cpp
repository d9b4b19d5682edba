#include "bench_opcua.h"
#include "bench_proc.h"

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/server_config_default.h>

#include <atomic>
#include <cstring>

namespace bench
{

namespace
{

constexpr UA_UInt32 kRequestTimeoutMs = 10000;
constexpr auto kProbeSpacing = std::chrono::milliseconds(5);
constexpr double kLoadWarmUpSeconds = 0.5;

void silentLog(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}
UA_Logger silentLogger = {&silentLog, nullptr, nullptr};

} // namespace

QByteArray loopbackUrl(quint16 port)
{
    return "opc.tcp://127.0.0.1:" + QByteArray::number(port);
}

void ClientDeleter::operator()(UA_Client *client) const
{
    UA_Client_disconnect(client);
    UA_Client_delete(client);
}

ClientPtr connectClient(const QByteArray &url, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ClientPtr client(UA_Client_new());
        UA_ClientConfig *config = UA_Client_getConfig(client.get());
        UA_ClientConfig_setDefault(config);
        config->logging->log = &silentLog;
        config->timeout = kRequestTimeoutMs;
        if (UA_Client_connect(client.get(), url.constData()) == UA_STATUSCODE_GOOD) {
            return client;
        }
    }
    return nullptr;
}

TagNodes::TagNodes(UA_UInt16 namespaceIndex, int rows) : m_namespace(namespaceIndex)
{
    m_keys.reserve(std::size_t(rows));
    for (int row = 1; row <= rows; ++row) {
        m_keys.push_back("tag" + QByteArray::number(row));
    }
}

UA_NodeId TagNodes::nodeId(int row) const
{
    // The stack only reads the identifier the id points at.
    return UA_NODEID_STRING(m_namespace, const_cast<char *>(m_keys[std::size_t(row - 1)].data()));
}

int TagNodes::randomRow(std::mt19937 &random) const
{
    return std::uniform_int_distribution<int>(1, rows())(random);
}

UA_StatusCode writeInt32(UA_Client *client, const UA_NodeId &node, UA_Int32 value)
{
    UA_Variant variant;
    UA_Variant_setScalar(&variant, &value, &UA_TYPES[UA_TYPES_INT32]);
    return UA_Client_writeValueAttribute(client, node, &variant);
}

Figure measureWriteRoundTrips(UA_Client *client, const TagNodes &nodes, const Budget &budget,
                              std::mt19937 &random)
{
    Figure figure;
    figure.unit = "/s";
    const Clock::time_point start = Clock::now();
    for (UA_Int32 value = 1;
         figure.samples.count() < budget.maxSamples && secondsSince(start) < budget.maxSeconds;
         ++value) {
        const UA_NodeId node = nodes.nodeId(nodes.randomRow(random));
        const Clock::time_point sent = Clock::now();
        if (writeInt32(client, node, value) == UA_STATUSCODE_GOOD) {
            figure.samples.add(millisecondsBetween(sent, Clock::now()));
        } else {
            ++figure.failures;
        }
    }
    figure.value = double(figure.samples.count()) / secondsSince(start);
    return figure;
}

ReadProbe::ReadProbe(const QByteArray &url)
{
    m_figure.unit = "ms";
    m_thread = std::thread([this, url] { run(url); });
}

ReadProbe::~ReadProbe()
{
    stop();
}

Figure ReadProbe::stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_figure.samples.empty()) {
        m_figure.value = millisecondsBetween(m_start, Clock::now());
        m_figure.note = "no read completed: the figure is how long the probe waited";
    } else {
        m_figure.value = m_figure.samples.max();
    }
    return m_figure;
}

void ReadProbe::run(const QByteArray &url)
{
    ClientPtr client;
    while (!m_stop && !(client = connectClient(url))) {
        std::this_thread::sleep_for(kProbeSpacing);
    }
    const UA_NodeId currentTime = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_CURRENTTIME);
    while (!m_stop) {
        UA_Variant value;
        UA_Variant_init(&value);
        const Clock::time_point sent = Clock::now();
        const UA_StatusCode status =
            UA_Client_readValueAttribute(client.get(), currentTime, &value);
        const double latency = millisecondsBetween(sent, Clock::now());
        UA_Variant_clear(&value);
        if (status == UA_STATUSCODE_GOOD) {
            m_figure.samples.add(latency);
        } else {
            ++m_figure.failures;
            m_figure.note = std::string("a read failed: ") + UA_StatusCode_name(status);
        }
        std::this_thread::sleep_for(kProbeSpacing);
    }
}

WriteLoad::WriteLoad(const QByteArray &url, const TagNodes &nodes, int writers, int firstValue)
    : m_lastValues(std::size_t(writers))
{
    for (int w = 0; w < writers; ++w) {
        m_threads.emplace_back([=, &nodes] { write(url, nodes, w, writers, firstValue); });
    }
}

WriteLoad::~WriteLoad()
{
    stop();
}

RowValues WriteLoad::stop()
{
    m_stop = true;
    for (std::thread &thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
    RowValues all;
    for (const RowValues &own : m_lastValues) {
        all.insert(own.begin(), own.end());
    }
    return all;
}

void WriteLoad::write(const QByteArray &url, const TagNodes &nodes, int writer, int writers,
                      int firstValue)
{
    const int ownRows = (nodes.rows() - writer + writers - 1) / writers;
    ClientPtr client = connectClient(url, 3);
    if (!client || ownRows == 0) {
        ++m_failures;
        return;
    }
    std::mt19937 random(1000u + unsigned(writer));
    std::uniform_int_distribution<int> anyOwnRow(0, ownRows - 1);
    RowValues &lastValues = m_lastValues[std::size_t(writer)];
    for (int value = firstValue; !m_stop; ++value) {
        const int row = 1 + writer + writers * anyOwnRow(random);
        if (writeInt32(client.get(), nodes.nodeId(row), value) == UA_STATUSCODE_GOOD) {
            ++m_writes;
            lastValues[row] = value;
        } else {
            ++m_failures;
        }
    }
}

LoadFigures measureUnderWriteLoad(const QByteArray &url, const TagNodes &nodes, int writers,
                                  double seconds, int firstValue)
{
    LoadFigures figures;
    figures.writes.unit = "/s";
    WriteLoad load(url, nodes, writers, firstValue);
    std::this_thread::sleep_for(std::chrono::duration<double>(kLoadWarmUpSeconds));
    const long writesBefore = load.writes();
    const long failuresBefore = load.failures();
    const Clock::time_point start = Clock::now();
    ReadProbe probe(url);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    figures.probe = probe.stop();
    const double elapsed = secondsSince(start);
    figures.writes.value = double(load.writes() - writesBefore) / elapsed;
    figures.writes.failures = std::size_t(load.failures() - failuresBefore);
    figures.runSeconds = load.secondsRunning();
    figures.lastValues = load.stop();
    figures.totalWrites = load.writes();
    return figures;
}

BareServer::BareServer(const TagNodes &nodes) : m_port(freeLoopbackPort())
{
    UA_ServerConfig config;
    std::memset(&config, 0, sizeof(config));
    config.logging = &silentLogger;
    UA_ServerConfig_setMinimal(&config, m_port, nullptr);
    // Listen on the loopback interface only.
    UA_String_clear(&config.serverUrls[0]);
    config.serverUrls[0] = UA_String_fromChars(url().constData());
    m_server = UA_Server_newWithConfig(&config);
    addVariables(nodes);
    m_thread = std::thread([this] { UA_Server_run(m_server, &m_running); });
}

BareServer::~BareServer()
{
    m_running = false;
    m_thread.join();
    UA_Server_delete(m_server);
}

void BareServer::addVariables(const TagNodes &nodes)
{
    const long residentBefore = residentKiB(::getpid());
    const Clock::time_point start = Clock::now();
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    UA_Int32 zero = 0;
    UA_Variant_setScalar(&attributes.value, &zero, &UA_TYPES[UA_TYPES_INT32]);
    attributes.dataType = UA_TYPES[UA_TYPES_INT32].typeId;
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
    for (int row = 1; row <= nodes.rows(); ++row) {
        const UA_NodeId id = nodes.nodeId(row);
        const UA_QualifiedName browseName{id.namespaceIndex, id.identifier.string};
        UA_Server_addVariableNode(m_server, id, UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), browseName,
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes,
                                  nullptr, nullptr);
    }
    m_addSeconds = secondsSince(start);
    m_residentGrowthKiB = double(residentKiB(::getpid()) - residentBefore);
}

} // namespace bench
