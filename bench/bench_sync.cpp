// The two-way sync of the gateway measured from outside, each figure beside
// the raw parts it sits on, taken in the same run on the same machine:
//   raw A  bare stack server, sequential single-value write round trips
//   raw B  UPDATE tags SET value=$1 WHERE key=$2, one connection, autocommit
//   raw C  that UPDATE until the update rule's notification reaches another connection
//   1      client write until the row holds the value (read back on another connection)
//   2      UPDATE of a row until a subscribed client receives the new value
//   3      start-up until every row is a tag, and resident memory per tag
//   4      longest wait of a read while 10 clients write, and idle CPU
// The gateway runs as a separate process from a temporary folder against the
// PostgreSQL server named by GATEWAY_TEST_PG_* (scripts/bench.sh starts one).
//
// Usage: bench_sync [--quick] [--sizes 1000,10000,100000] [--gateway PATH]

#include <QCoreApplication>
#include <QStringList>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_gateway.h"
#include "bench_opcua.h"
#include "bench_pg.h"
#include "bench_proc.h"
#include "bench_stats.h"

using namespace bench;

namespace
{

constexpr int kWriters = 10;
constexpr double kSettleSeconds = 1.0;
constexpr double kFirstCheckSeconds = 3.0; // the gateway's first SQL check runs 2 s after start

struct Settings {
    Budget rawWrites;
    Budget rawUpdates;
    Budget rawNotifications;
    Budget gatewayWrites;
    Budget gatewayUpdates;
    double loadSeconds;
    double idleSeconds;
    StartupLimits startup;
};

// A full run takes about ten minutes while the gateway keeps up; a quick one
// takes fewer samples and shorter phases.
Settings settingsFor(bool quick)
{
    Settings settings;
    settings.rawWrites = quick ? Budget{1000, 1} : Budget{3000, 3};
    settings.rawUpdates = quick ? Budget{300, 1.5} : Budget{1000, 4};
    settings.rawNotifications = quick ? Budget{100, 1.5} : Budget{300, 4};
    settings.gatewayWrites = quick ? Budget{60, 6} : Budget{300, 20};
    settings.gatewayUpdates = quick ? Budget{40, 6} : Budget{150, 30};
    settings.loadSeconds = quick ? 4 : 10;
    settings.idleSeconds = quick ? 2 : 5;
    settings.startup.overallSeconds = quick ? 120 : 240;
    settings.startup.firstTagSeconds = quick ? 30 : 60;
    settings.startup.withoutProgressSeconds = quick ? 30 : 60;
    return settings;
}

struct SizeResults {
    int rows = 0;
    Figure rawA;
    Figure rawB;
    Figure rawC;
    Figure rawStartup;
    Figure rawMemoryPerVariable;
    LoadFigures rawLoad;
    Figure rawIdleCpu;
    StartupFigures startup;
    Figure memoryPerTag;
    Figure idleCpu;
    Figure writesToRows;
    SubscriptionFigures updatesToSubscriber;
    LoadFigures load;
};

void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

std::string text(const char *format, double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

std::string milliseconds(double value)
{
    return std::isnan(value) ? "—" : text("%.2f", value);
}

std::string headline(const Figure &figure)
{
    if (std::isnan(figure.value)) {
        return "—";
    }
    if (figure.unit == "/s") {
        return text("%.0f /s", figure.value);
    }
    if (figure.unit == "%") {
        return text("%.1f %%", figure.value);
    }
    return text("%.2f ", figure.value) + figure.unit;
}

std::string sampleCount(const Figure &figure)
{
    if (!figure.measured()) {
        return "—";
    }
    std::string count = figure.samples.empty() ? "1" : std::to_string(figure.samples.count());
    if (figure.failures > 0) {
        count += " (" + std::to_string(figure.failures) + " failed)";
    }
    return count;
}

using Row = std::vector<std::string>;

// Headline, p50, p99 and sample count of one figure.
Row cells(const Figure &figure)
{
    return {headline(figure), milliseconds(figure.samples.median()),
            milliseconds(figure.samples.p99()), sampleCount(figure)};
}

// A then B, one after the other: the rate from their mean times, and the
// sums of their medians and of their p99s.
Row cellsOfSequence(const Figure &first, const Figure &second)
{
    Figure rate;
    rate.unit = "/s";
    rate.value = 1000.0 / (first.samples.mean() + second.samples.mean());
    return {headline(rate), milliseconds(first.samples.median() + second.samples.median()),
            milliseconds(first.samples.p99() + second.samples.p99()),
            sampleCount(first) + " + " + sampleCount(second)};
}

Row row(const std::string &name, int rows, const Row &gateway, const std::string &rawName,
        const Row &raw)
{
    Row all{name, std::to_string(rows)};
    all.insert(all.end(), gateway.begin(), gateway.end());
    all.push_back(rawName);
    all.insert(all.end(), raw.begin(), raw.end());
    return all;
}

void printTable(const std::vector<Row> &rows)
{
    std::vector<std::size_t> widths(rows.front().size(), 0);
    auto width = [](const std::string &cell) {
        // Characters, not bytes: the dashes and arrows are several bytes each.
        return std::size_t(QString::fromStdString(cell).size());
    };
    for (const Row &r : rows) {
        for (std::size_t c = 0; c < r.size(); ++c) {
            widths[c] = std::max(widths[c], width(r[c]));
        }
    }
    auto print = [&](const Row &r) {
        std::string line = "|";
        for (std::size_t c = 0; c < r.size(); ++c) {
            line += " " + r[c] + std::string(widths[c] - width(r[c]), ' ') + " |";
        }
        std::printf("%s\n", line.c_str());
    };
    print(rows.front());
    Row rule;
    for (std::size_t w : widths) {
        rule.push_back(std::string(w, '-'));
    }
    print(rule);
    for (std::size_t r = 1; r < rows.size(); ++r) {
        print(rows[r]);
    }
}

void printResults(const std::vector<SizeResults> &results)
{
    std::vector<Row> rows{{"figure", "rows", "gateway", "p50 ms", "p99 ms", "n", "raw counterpart",
                           "raw", "p50 ms", "p99 ms", "n"}};
    const Row none = cells(Figure());
    for (const SizeResults &r : results) {
        rows.push_back(row("raw A: write round trip", r.rows, none, "bare server", cells(r.rawA)));
        rows.push_back(
            row("raw B: UPDATE … WHERE key", r.rows, none, "one connection", cells(r.rawB)));
        rows.push_back(row("1: client write → row holds it", r.rows, cells(r.writesToRows),
                           "A then B (ms: sums)", cellsOfSequence(r.rawA, r.rawB)));
        rows.push_back(row("2: UPDATE → subscriber has it", r.rows,
                           cells(r.updatesToSubscriber.latency), "C: UPDATE → NOTIFY",
                           cells(r.rawC)));
        rows.push_back(row("3: start-up until all rows are tags", r.rows, cells(r.startup.total),
                           "add variables + SELECT", cells(r.rawStartup)));
        rows.push_back(row("3: resident memory per tag", r.rows, cells(r.memoryPerTag),
                           "bare server variable", cells(r.rawMemoryPerVariable)));
        rows.push_back(row("4: read wait, 10 clients writing", r.rows, cells(r.load.probe),
                           "bare server, same load", cells(r.rawLoad.probe)));
        rows.push_back(row("4: their writes", r.rows, cells(r.load.writes), "bare server",
                           cells(r.rawLoad.writes)));
        rows.push_back(
            row("4: CPU when idle", r.rows, cells(r.idleCpu), "bare server", cells(r.rawIdleCpu)));
    }
    printTable(rows);

    std::printf("\n");
    for (const SizeResults &r : results) {
        const std::pair<const char *, const Figure *> figures[] = {
            {"raw A", &r.rawA},
            {"raw B", &r.rawB},
            {"raw C", &r.rawC},
            {"1", &r.writesToRows},
            {"2", &r.updatesToSubscriber.latency},
            {"3", &r.startup.total},
            {"4 probe", &r.load.probe},
            {"4 writes", &r.load.writes},
            {"4 raw probe", &r.rawLoad.probe},
        };
        for (const auto &[name, figure] : figures) {
            if (!figure->note.empty()) {
                std::printf("note, %d rows, %s: %s\n", r.rows, name, figure->note.c_str());
            }
        }
    }
}

const SizeResults *withRows(const std::vector<SizeResults> &results, int rows)
{
    for (const SizeResults &r : results) {
        if (r.rows == rows) {
            return &r;
        }
    }
    return nullptr;
}

enum class Bound { AtMost, Below };

const char *verdict(double figure, double limit, Bound bound = Bound::AtMost)
{
    if (std::isnan(figure) || std::isnan(limit)) {
        return "not measured";
    }
    const bool holds = bound == Bound::AtMost ? figure <= limit : figure < limit;
    return holds ? "holds" : "MISSED";
}

void printTargets(const std::vector<SizeResults> &results)
{
    std::printf("\ntargets\n");
    for (const SizeResults &r : results) {
        const double g1 = r.writesToRows.samples.median();
        const double g1Limit = 2 * (r.rawA.samples.median() + r.rawB.samples.median());
        std::printf("  1, %6d rows: p50 %s ms <= 2 x (A %s + B %s) = %s ms: %s\n", r.rows,
                    milliseconds(g1).c_str(), milliseconds(r.rawA.samples.median()).c_str(),
                    milliseconds(r.rawB.samples.median()).c_str(), milliseconds(g1Limit).c_str(),
                    verdict(g1, g1Limit));
    }
    const SizeResults *smallest = withRows(results, 1000);
    const SizeResults *largest = withRows(results, 100000);
    if (smallest && largest) {
        const double small = smallest->writesToRows.samples.median();
        const double large = largest->writesToRows.samples.median();
        std::printf("  1, p50 at 100000 rows %s ms <= 1.5 x p50 at 1000 rows %s ms: %s\n",
                    milliseconds(large).c_str(), milliseconds(small).c_str(),
                    verdict(large, 1.5 * small));
    }
    for (const SizeResults &r : results) {
        const double g2 = r.updatesToSubscriber.latency.samples.p99();
        const double interval = r.updatesToSubscriber.publishingIntervalMs;
        const double limit = 2 * r.rawC.samples.p99() + interval;
        std::printf("  2, %6d rows: p99 %s ms <= 2 x C p99 %s + publishing interval %s = %s ms "
                    "(sampling interval %s ms): %s\n",
                    r.rows, milliseconds(g2).c_str(), milliseconds(r.rawC.samples.p99()).c_str(),
                    milliseconds(interval).c_str(), milliseconds(limit).c_str(),
                    milliseconds(r.updatesToSubscriber.samplingIntervalMs).c_str(),
                    verdict(g2, limit));
    }
    const SizeResults *tenThousand = withRows(results, 10000);
    if (tenThousand && largest) {
        const double small = tenThousand->startup.total.value;
        const double large = largest->startup.total.value;
        const double smallLoad = tenThousand->startup.afterSqlReadySeconds;
        const double largeLoad = largest->startup.afterSqlReadySeconds;
        std::printf("  3, start-up 100000 rows %s s <= 12 x 10000 rows %s s: %s; "
                    "from \"InitSQL - OK!\" (2 s check delay included): %s s vs %s s: %s\n",
                    milliseconds(large).c_str(), milliseconds(small).c_str(),
                    verdict(large, 12 * small), milliseconds(largeLoad).c_str(),
                    milliseconds(smallLoad).c_str(), verdict(largeLoad, 12 * smallLoad));
    }
    for (const SizeResults &r : results) {
        std::printf("  3, %6d rows: %s resident per tag (bare server: %s per variable)\n", r.rows,
                    headline(r.memoryPerTag).c_str(), headline(r.rawMemoryPerVariable).c_str());
    }
    for (const SizeResults &r : results) {
        std::printf("  4, %6d rows: longest read wait %s ms <= 20 ms: %s; idle CPU %s < 2 %%: %s\n",
                    r.rows, milliseconds(r.load.probe.value).c_str(),
                    verdict(r.load.probe.value, 20), headline(r.idleCpu).c_str(),
                    verdict(r.idleCpu.value, 2, Bound::Below));
    }
}

class Benchmark
{
public:
    Benchmark(const Settings &settings, const QString &gateway, const PgServer &server)
        : m_settings(settings), m_gateway(gateway), m_server(server)
    {
    }

    bool connect()
    {
        QString error;
        m_admin = openConnection(m_server, QStringLiteral("bench_admin"), &error);
        if (m_admin.isOpen()) {
            m_listener = openConnection(m_server, QStringLiteral("bench_listener"), &error);
        }
        if (!m_listener.isOpen()) {
            progress("cannot open PostgreSQL at %s:%d: %s", qPrintable(m_server.host),
                     m_server.port, qPrintable(error));
            return false;
        }
        return true;
    }

    // The gateway's own footprint with an empty table, so memory per tag
    // counts only what the tags add.
    void measureEmptyGateway()
    {
        QString error;
        if (!recreateTagsTable(m_admin, 0, &error)) {
            progress("cannot create the tags table: %s", qPrintable(error));
            return;
        }
        GatewayProcess gateway(m_gateway, m_server);
        if (!gateway.start(&error) ||
            !gateway.waitForSqlReady(m_settings.startup.firstTagSeconds, &error)) {
            progress("empty gateway: %s\n%s", qPrintable(error), qPrintable(gateway.logTail(10)));
            return;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kFirstCheckSeconds));
        m_emptyResidentKiB = residentKiB(gateway.pid());
        progress("empty gateway: %ld KiB resident", m_emptyResidentKiB);
    }

    SizeResults measure(int rows)
    {
        SizeResults results;
        results.rows = rows;
        measureBareServer(results);
        if (measureDatabase(results)) {
            measureGateway(results);
        }
        return results;
    }

private:
    void measureBareServer(SizeResults &results)
    {
        const TagNodes nodes(1, results.rows);
        BareServer server(nodes);
        results.rawMemoryPerVariable.unit = "KiB";
        results.rawMemoryPerVariable.value = server.residentGrowthKiB() / results.rows;
        results.rawIdleCpu = measureCpuUse(::getpid(), m_settings.idleSeconds);
        ClientPtr client = connectClient(server.url(), 10);
        if (!client) {
            results.rawA.note = "no connection to the bare server";
            return;
        }
        results.rawA = measureWriteRoundTrips(client.get(), nodes, m_settings.rawWrites, m_random);
        client.reset();
        results.rawLoad =
            measureUnderWriteLoad(server.url(), nodes, kWriters, m_settings.loadSeconds);
        results.rawStartup.unit = "s";
        results.rawStartup.value = server.secondsToAddVariables();
        progress("%d rows, bare server: %.2f s to add, A p50 %s ms, probe max %s ms, idle %s",
                 results.rows, server.secondsToAddVariables(),
                 milliseconds(results.rawA.samples.median()).c_str(),
                 milliseconds(results.rawLoad.probe.value).c_str(),
                 headline(results.rawIdleCpu).c_str());
    }

    bool measureDatabase(SizeResults &results)
    {
        QString error;
        if (!recreateTagsTable(m_admin, results.rows, &error) ||
            !installNotifyRules(m_admin, &error)) {
            progress("%d rows: cannot lay out the tags table: %s", results.rows, qPrintable(error));
            results.rawB.note = error.toStdString();
            return false;
        }
        const Figure selectAll = measureSelectAll(m_admin);
        results.rawStartup.value += selectAll.value;
        results.rawB = measureUpdates(m_admin, results.rows, m_settings.rawUpdates, m_random);
        results.rawC = measureUpdateNotifications(m_admin, m_listener, results.rows,
                                                  m_settings.rawNotifications, m_random);
        progress("%d rows, database: SELECT all %.3f s, B p50 %s ms, C p50 %s ms", results.rows,
                 selectAll.value, milliseconds(results.rawB.samples.median()).c_str(),
                 milliseconds(results.rawC.samples.median()).c_str());
        return true;
    }

    void measureGateway(SizeResults &results)
    {
        if (!m_gatewayLoadsTags) {
            results.startup.total.note = "skipped: a smaller table was not turned into tags";
            return;
        }
        GatewayProcess gateway(m_gateway, m_server);
        QString error;
        if (!gateway.start(&error)) {
            results.startup.total.note = error.toStdString();
            return;
        }
        progress("%d rows: gateway %lld started, waiting for the tags", results.rows,
                 gateway.pid());
        results.startup = gateway.waitForTags(results.rows, m_settings.startup);
        if (!results.startup.total.measured()) {
            m_gatewayLoadsTags = results.startup.tags > 0;
            progress("%d rows: start-up failed: %s\nlast lines of the gateway's log:\n%s",
                     results.rows, results.startup.total.note.c_str(),
                     qPrintable(gateway.logTail(10)));
            return;
        }
        progress("%d rows: all tags after %.2f s", results.rows, results.startup.total.value);
        std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
        results.idleCpu = measureCpuUse(gateway.pid(), m_settings.idleSeconds);
        results.memoryPerTag.unit = "KiB";
        results.memoryPerTag.value =
            double(residentKiB(gateway.pid()) - m_emptyResidentKiB) / results.rows;

        const TagNodes nodes(0, results.rows);
        results.writesToRows = measureWritesReachingRows(gateway.url(), nodes, m_admin,
                                                         m_settings.gatewayWrites, m_random);
        progress("%d rows, 1: p50 %s ms", results.rows,
                 milliseconds(results.writesToRows.samples.median()).c_str());
        results.updatesToSubscriber = measureUpdatesReachingSubscriber(
            gateway.url(), nodes, m_admin, m_settings.gatewayUpdates, m_random);
        progress("%d rows, 2: p50 %s ms", results.rows,
                 milliseconds(results.updatesToSubscriber.latency.samples.median()).c_str());
        results.load =
            measureUnderWriteLoad(gateway.url(), nodes, kWriters, m_settings.loadSeconds);
        progress("%d rows, 4: longest read wait %s ms", results.rows,
                 milliseconds(results.load.probe.value).c_str());
        if (gateway.exited()) {
            results.load.probe.note = "the gateway had exited by the end of its run";
        }
    }

    const Settings m_settings;
    QString m_gateway;
    PgServer m_server;
    QSqlDatabase m_admin;
    QSqlDatabase m_listener;
    long m_emptyResidentKiB = 0;
    bool m_gatewayLoadsTags = true;
    std::mt19937 m_random{20240601u};
};

struct Arguments {
    bool quick = false;
    std::vector<int> sizes{1000, 10000, 100000};
    QString gateway = QStringLiteral(GATEWAY_EXECUTABLE);
    bool valid = true;
};

Arguments parseArguments(const QStringList &arguments)
{
    Arguments parsed;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--quick")) {
            parsed.quick = true;
        } else if (argument == QLatin1String("--sizes") && hasValue) {
            parsed.sizes.clear();
            for (const QString &size : arguments[++i].split(',')) {
                const int rows = size.toInt();
                parsed.valid = parsed.valid && rows > 0 && rows < 10000000;
                parsed.sizes.push_back(rows);
            }
        } else if (argument == QLatin1String("--gateway") && hasValue) {
            parsed.gateway = arguments[++i];
        } else {
            parsed.valid = false;
        }
    }
    return parsed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const Arguments arguments = parseArguments(QCoreApplication::arguments());
    if (!arguments.valid) {
        progress("usage: bench_sync [--quick] [--sizes 1000,10000,100000] [--gateway PATH]");
        return 2;
    }
    const PgServer server = PgServer::fromEnvironment();
    if (!server.configured()) {
        progress("bench_sync needs a PostgreSQL server in GATEWAY_TEST_PG_HOST/PORT/USER/"
                 "PASSWORD/DATABASE (scripts/pg-test-server.sh start DIR prints them)");
        return 2;
    }
    Benchmark benchmark(settingsFor(arguments.quick), arguments.gateway, server);
    if (!benchmark.connect()) {
        return 1;
    }
    benchmark.measureEmptyGateway();
    std::vector<SizeResults> results;
    for (int rows : arguments.sizes) {
        results.push_back(benchmark.measure(rows));
    }
    std::printf("\nsync figures (%s run); latencies per operation; n = samples\n",
                arguments.quick ? "quick" : "full");
    printResults(results);
    printTargets(results);
    return 0;
}
