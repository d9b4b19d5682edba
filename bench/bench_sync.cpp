// The two-way sync of the gateway measured from outside, each figure beside
// the raw parts it sits on, taken in the same run on the same machine:
//   raw A  bare stack server, sequential single-value write round trips
//   raw B  UPDATE tags SET value=$1 WHERE id=$2, one connection, autocommit
//   raw C  that UPDATE until the row trigger's notification reaches another connection
//   1      client write until the row holds the value (read back on another connection)
//   2      10 clients writing: their values stored per second, every last value
//          in the table at the end, the longest wait of a concurrent read
//   3      PostgreSQL stopped for 10 s while 4 clients write: the longest read
//          wait, the time until every last value is in the table after the
//          restart, and an UPDATE reaching a subscribed client afterwards
//   4      10 000 rows inserted with one statement until they are tags
//   5      start-up until every row is a tag, and the longest read wait meanwhile
//   6      UPDATE of a row until a subscribed client receives it, and idle CPU
//   7      resident memory per tag
// The gateway runs as a separate process from a temporary folder against the
// PostgreSQL server named by GATEWAY_TEST_PG_* (scripts/bench.sh starts one);
// with --pg-dir, the cluster scripts/pg-test-server.sh made there is stopped
// and restarted for 3.
//
// Usage: bench_sync [--quick] [--sizes 1000,10000,100000] [--gateway PATH] [--pg-dir DIR]

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
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
constexpr int kOutageWriters = 4;
constexpr double kOutageSeconds = 10;
constexpr double kWarmUpSeconds = 1.0;
constexpr double kSettleSeconds = 1.0;
constexpr double kFirstCheckSeconds = 3.0; // the gateway's first load runs 2 s after start
constexpr double kFirstLoadDelaySeconds = 2.0;
constexpr double kRowsHoldLimitSeconds = 30;
constexpr double kReconnectSeconds = 10;
constexpr int kInsertedRows = 10000;
constexpr int kInsertTableRows = 100000;
// Each phase's client values start afresh, so no row holds one by chance.
constexpr int kFirstLoadValue = 3000000;
constexpr int kFirstOutageValue = 4000000;
constexpr int kFirstRawLoadValue = 1;
constexpr int kFirstKillValue = 5000000;
// After a kill during an outage, every last value must be back this soon.
constexpr double kKillRecoveryLimitSeconds = 5;

struct Settings {
    Budget rawWrites;
    Budget rawUpdates;
    Budget rawNotifications;
    Budget gatewayWrites;
    Budget gatewayUpdates;
    Budget updatesAfterOutage;
    double loadSeconds;
    double idleSeconds;
    StartupLimits startup;
};

// A quick run takes fewer samples and shorter phases: four to five minutes at
// 1 000, 10 000 and 100 000 rows on two shared cores; a full run takes longer.
Settings settingsFor(bool quick)
{
    Settings settings;
    settings.rawWrites = quick ? Budget{1000, 1} : Budget{3000, 3};
    settings.rawUpdates = quick ? Budget{300, 1.5} : Budget{1000, 4};
    settings.rawNotifications = quick ? Budget{100, 1.5} : Budget{300, 4};
    settings.gatewayWrites = quick ? Budget{60, 6} : Budget{300, 20};
    settings.gatewayUpdates = quick ? Budget{40, 6} : Budget{150, 30};
    settings.updatesAfterOutage = quick ? Budget{5, 5} : Budget{20, 10};
    settings.loadSeconds = quick ? 4 : 10;
    settings.idleSeconds = quick ? 2 : 5;
    settings.startup.overallSeconds = quick ? 120 : 240;
    settings.startup.firstTagSeconds = quick ? 30 : 60;
    settings.startup.withoutProgressSeconds = quick ? 30 : 60;
    return settings;
}

// The values a write load gave the rows, and whether the table ended up
// holding all of them.
struct StoredFigures {
    Figure rate;          // client values in the table per second, /s
    Figure drain;         // from the writers' end until the table holds them, s
    std::size_t rows = 0; // rows written
    int differing = 0;    // rows without their last value at the end
    bool checked() const { return rows > 0 && drain.measured(); }
};

struct OutageFigures {
    Figure probe;         // read waits while the server is down, ms
    Figure recoveryProbe; // read waits from the restart until every last value is back, ms
    Figure recovery;      // restart until every last value is in the table, s
    long writes = 0;      // client writes while the server was down
    std::size_t rows = 0;
    int differing = 0;
    SubscriptionFigures updates; // an UPDATE until a subscriber has it, after the restart
};

// 4 clients write during an outage, the gateway is killed and started again,
// then the server comes back.
struct KillFigures {
    Figure recovery;      // the server's return until every last value is in the table, s
    long writes = 0;      // client writes answered while the server was down
    std::size_t rows = 0; // rows with a last value
    int lost = 0;         // rows without their last value after the limit
};

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
    Figure startupProbe;
    Figure memoryPerTag;
    Figure idleCpu;
    Figure writesToRows;
    SubscriptionFigures updatesToSubscriber;
    LoadFigures load;
    StoredFigures stored;
    OutageFigures outage;
    Figure insertToTags;
    StoredFigures storedWithoutJournal;
    KillFigures kill;
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

const SizeResults *withRows(const std::vector<SizeResults> &results, int rows)
{
    for (const SizeResults &r : results) {
        if (r.rows == rows) {
            return &r;
        }
    }
    return nullptr;
}

// The first load of 10 000 rows, the yardstick of an INSERT of as many.
Figure firstLoadOfInsertedCount(const std::vector<SizeResults> &results)
{
    const SizeResults *reference = withRows(results, kInsertedRows);
    return reference ? reference->startup.firstLoad : Figure();
}

void addRows(std::vector<Row> &rows, const SizeResults &r, const Figure &firstLoad)
{
    const Row none = cells(Figure());
    rows.push_back(row("raw A: write round trip", r.rows, none, "bare server", cells(r.rawA)));
    rows.push_back(row("raw B: UPDATE … WHERE id", r.rows, none, "one connection", cells(r.rawB)));
    rows.push_back(row("1: client write → row holds it", r.rows, cells(r.writesToRows),
                       "A then B (ms: sums)", cellsOfSequence(r.rawA, r.rawB)));
    rows.push_back(row("2: 10 clients: values stored", r.rows, cells(r.stored.rate),
                       "B: UPDATE rate", cells(r.rawB)));
    rows.push_back(row("2: 10 clients: client writes", r.rows, cells(r.load.writes), "bare server",
                       cells(r.rawLoad.writes)));
    rows.push_back(row("2: 10 clients: read wait", r.rows, cells(r.load.probe),
                       "bare server, same load", cells(r.rawLoad.probe)));
    rows.push_back(row("3: PostgreSQL down 10 s: read wait", r.rows, cells(r.outage.probe),
                       "bare server, 10 clients", cells(r.rawLoad.probe)));
    rows.push_back(
        row("3: restart → last values in table", r.rows, cells(r.outage.recovery), "", none));
    rows.push_back(row("3: read wait until then", r.rows, cells(r.outage.recoveryProbe),
                       "bare server, 10 clients", cells(r.rawLoad.probe)));
    rows.push_back(row("3: after restart: UPDATE → subscriber", r.rows,
                       cells(r.outage.updates.latency), "C: UPDATE → NOTIFY", cells(r.rawC)));
    if (r.insertToTags.measured() || !r.insertToTags.note.empty()) {
        rows.push_back(row("4: INSERT 10 000 rows → tags", r.rows, cells(r.insertToTags),
                           "first load, 10 000 rows", cells(firstLoad)));
    }
    rows.push_back(row("5: start-up until all rows are tags", r.rows, cells(r.startup.total),
                       "add variables + SELECT", cells(r.rawStartup)));
    rows.push_back(row("5: read wait during start-up", r.rows, cells(r.startupProbe), "", none));
    rows.push_back(row("6: UPDATE → subscriber has it", r.rows,
                       cells(r.updatesToSubscriber.latency), "C: UPDATE → NOTIFY", cells(r.rawC)));
    rows.push_back(
        row("6: CPU when idle", r.rows, cells(r.idleCpu), "bare server", cells(r.rawIdleCpu)));
    rows.push_back(row("7: resident memory per tag", r.rows, cells(r.memoryPerTag),
                       "bare server variable", cells(r.rawMemoryPerVariable)));
}

void printNotes(const SizeResults &r)
{
    const std::pair<const char *, const Figure *> figures[] = {
        {"raw A", &r.rawA},
        {"raw B", &r.rawB},
        {"raw C", &r.rawC},
        {"1", &r.writesToRows},
        {"2 probe", &r.load.probe},
        {"2 writes", &r.load.writes},
        {"2 stored", &r.stored.rate},
        {"2 raw probe", &r.rawLoad.probe},
        {"3 probe", &r.outage.probe},
        {"3 recovery probe", &r.outage.recoveryProbe},
        {"3 recovery", &r.outage.recovery},
        {"3 updates", &r.outage.updates.latency},
        {"4", &r.insertToTags},
        {"5", &r.startup.total},
        {"5 probe", &r.startupProbe},
        {"6", &r.updatesToSubscriber.latency},
    };
    for (const auto &[name, figure] : figures) {
        if (!figure->note.empty()) {
            std::printf("note, %d rows, %s: %s\n", r.rows, name, figure->note.c_str());
        }
    }
}

void printResults(const std::vector<SizeResults> &results)
{
    std::vector<Row> rows{{"figure", "rows", "gateway", "p50 ms", "p99 ms", "n", "raw counterpart",
                           "raw", "p50 ms", "p99 ms", "n"}};
    const Figure firstLoad = firstLoadOfInsertedCount(results);
    for (const SizeResults &r : results) {
        addRows(rows, r, firstLoad);
    }
    printTable(rows);
    std::printf("\n");
    for (const SizeResults &r : results) {
        printNotes(r);
    }
}

enum class Bound { AtMost, Below, AtLeast };

const char *verdict(double figure, double limit, Bound bound = Bound::AtMost)
{
    if (std::isnan(figure) || std::isnan(limit)) {
        return "not measured";
    }
    const bool holds = bound == Bound::AtMost  ? figure <= limit
                       : bound == Bound::Below ? figure < limit
                                               : figure >= limit;
    return holds ? "met" : "MISSED";
}

const char *checkVerdict(bool checked, int differing)
{
    return !checked ? "not checked" : differing == 0 ? "pass" : "FAIL";
}

void printWriteTargets(const std::vector<SizeResults> &results)
{
    // The yardstick is the round trip and the UPDATE at 1 000 rows, for every size.
    const SizeResults *yardstick = withRows(results, 1000);
    for (const SizeResults &r : results) {
        const SizeResults &raw = yardstick ? *yardstick : r;
        const double a = raw.rawA.samples.median();
        const double b = raw.rawB.samples.median();
        const double p50 = r.writesToRows.samples.median();
        // Three hand-overs (GUI thread, store thread, database) on top of the raw parts.
        constexpr double kWriteFactor = 4;
        std::printf("  1, %6d rows: p50 %s ms <= 4 x (A %s + B %s at %d rows) = %s ms: %s\n",
                    r.rows, milliseconds(p50).c_str(), milliseconds(a).c_str(),
                    milliseconds(b).c_str(), raw.rows, milliseconds(kWriteFactor * (a + b)).c_str(),
                    verdict(p50, kWriteFactor * (a + b)));
    }
    for (const SizeResults &r : results) {
        std::printf("  2, %6d rows: last values of %zu rows in the table: %s (%d differ, %s s "
                    "after the writers stopped); stored %s >= B %s: %s; longest read wait %s ms "
                    "<= 20 ms: %s\n",
                    r.rows, r.stored.rows, checkVerdict(r.stored.checked(), r.stored.differing),
                    r.stored.differing, milliseconds(r.stored.drain.value).c_str(),
                    headline(r.stored.rate).c_str(), headline(r.rawB).c_str(),
                    verdict(r.stored.rate.value, r.rawB.value, Bound::AtLeast),
                    milliseconds(r.load.probe.value).c_str(), verdict(r.load.probe.value, 20));
    }
}

void printOutageTargets(const std::vector<SizeResults> &results)
{
    for (const SizeResults &r : results) {
        const OutageFigures &o = r.outage;
        const Figure &updates = o.updates.latency;
        const bool updated = !updates.samples.empty() && updates.failures == 0;
        std::printf("  3, %6d rows: longest read wait while down %s ms <= 20 ms: %s (after the "
                    "restart %s ms); %ld writes while down, last values of %zu rows in the table "
                    "%s s after the restart <= 5 s: %s (%s); UPDATE → subscriber after the "
                    "restart p50 %s ms, %zu of %zu: %s\n",
                    r.rows, milliseconds(o.probe.value).c_str(), verdict(o.probe.value, 20),
                    milliseconds(o.recoveryProbe.value).c_str(), o.writes, o.rows,
                    milliseconds(o.recovery.value).c_str(), verdict(o.recovery.value, 5),
                    checkVerdict(o.rows > 0 && o.recovery.measured(), o.differing),
                    milliseconds(updates.samples.median()).c_str(), updates.samples.count(),
                    updates.samples.count() + updates.failures, updated ? "met" : "MISSED");
    }
}

void printLoadTargets(const std::vector<SizeResults> &results)
{
    const Figure firstLoad = firstLoadOfInsertedCount(results);
    for (const SizeResults &r : results) {
        if (r.insertToTags.measured()) {
            std::printf("  4, %6d rows: INSERT of 10 000 rows → tags %s s <= 2 x first load of "
                        "10 000 rows %s s: %s\n",
                        r.rows, milliseconds(r.insertToTags.value).c_str(),
                        milliseconds(firstLoad.value).c_str(),
                        verdict(r.insertToTags.value, 2 * firstLoad.value));
        }
    }
    for (const SizeResults &r : results) {
        const double limit = kFirstLoadDelaySeconds + 3 * r.rawStartup.value;
        // The GUI thread's cost of a new tag: the first tag line to the last.
        const double perTagMs = r.rows > 0 ? 1000 * r.startup.firstLoad.value / r.rows : 0;
        const double rawPerVariableMs = r.rows > 0 ? 1000 * r.rawStartup.value / r.rows : 0;
        std::printf("  5, %6d rows: start-up %s s <= 2 s + 3 x raw %s s = %s s: %s; read wait "
                    "meanwhile p99 %s ms, longest %s ms; per tag %.4f ms (raw %.4f ms per "
                    "variable with its share of the SELECT)\n",
                    r.rows, milliseconds(r.startup.total.value).c_str(),
                    milliseconds(r.rawStartup.value).c_str(), milliseconds(limit).c_str(),
                    verdict(r.startup.total.value, limit),
                    milliseconds(r.startupProbe.samples.p99()).c_str(),
                    milliseconds(r.startupProbe.value).c_str(), perTagMs, rawPerVariableMs);
    }
}

void printSteadyTargets(const std::vector<SizeResults> &results)
{
    for (const SizeResults &r : results) {
        const double p99 = r.updatesToSubscriber.latency.samples.p99();
        const double interval = r.updatesToSubscriber.publishingIntervalMs;
        const double limit = 2 * r.rawC.samples.p99() + interval;
        std::printf("  6, %6d rows: p99 %s ms <= 2 x C p99 %s + publishing interval %s = %s ms "
                    "(sampling interval %s ms): %s; idle CPU %s < 2 %%: %s\n",
                    r.rows, milliseconds(p99).c_str(), milliseconds(r.rawC.samples.p99()).c_str(),
                    milliseconds(interval).c_str(), milliseconds(limit).c_str(),
                    milliseconds(r.updatesToSubscriber.samplingIntervalMs).c_str(),
                    verdict(p99, limit), headline(r.idleCpu).c_str(),
                    verdict(r.idleCpu.value, 2, Bound::Below));
    }
    for (const SizeResults &r : results) {
        std::printf("  7, %6d rows: %s resident per tag <= 2 x bare server %s per variable: %s\n",
                    r.rows, headline(r.memoryPerTag).c_str(),
                    headline(r.rawMemoryPerVariable).c_str(),
                    verdict(r.memoryPerTag.value, 2 * r.rawMemoryPerVariable.value));
    }
}

// The write journal's cost and what it keeps through a kill.
void printJournalTargets(const std::vector<SizeResults> &results)
{
    for (const SizeResults &r : results) {
        const double withJournal = r.stored.rate.value;
        const double without = r.storedWithoutJournal.rate.value;
        const double ratio = withJournal / without;
        std::printf("%6d rows  2 with / without the write journal: %s / %s stored/s = %s "
                    "(target >= 0.90) %s\n",
                    r.rows, headline(r.stored.rate).c_str(),
                    headline(r.storedWithoutJournal.rate).c_str(), text("%.2f", ratio).c_str(),
                    verdict(ratio, 0.9, Bound::AtLeast));
        std::printf("%6d rows  kill during a 10 s outage: %ld writes, %zu rows, %d lost, every "
                    "last value %s s after the return (target <= %.0f s) %s\n",
                    r.rows, r.kill.writes, r.kill.rows, r.kill.lost,
                    text("%.2f", r.kill.recovery.value).c_str(), kKillRecoveryLimitSeconds,
                    verdict(r.kill.recovery.value, kKillRecoveryLimitSeconds));
    }
}

void printTargets(const std::vector<SizeResults> &results)
{
    std::printf("\ntargets\n");
    printJournalTargets(results);
    printWriteTargets(results);
    printOutageTargets(results);
    printLoadTargets(results);
    printSteadyTargets(results);
}

void sleepFor(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

class Benchmark
{
public:
    Benchmark(const Settings &settings, const QString &gateway, const PgServer &server,
              const QString &pgDir)
        : m_settings(settings), m_gateway(gateway), m_server(server), m_pgDir(pgDir)
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
        sleepFor(kFirstCheckSeconds);
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
        results.rawLoad = measureUnderWriteLoad(server.url(), nodes, kWriters,
                                                m_settings.loadSeconds, kFirstRawLoadValue);
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
            !installNotifyTriggers(m_admin, &error)) {
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
        if (!measureStartup(gateway, results)) {
            return;
        }
        sleepFor(kSettleSeconds);
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
        progress("%d rows, 6: p50 %s ms", results.rows,
                 milliseconds(results.updatesToSubscriber.latency.samples.median()).c_str());
        measureWriteLoad(gateway, nodes, results);
        if (!m_pgDir.isEmpty()) {
            measureOutage(gateway, nodes, results);
        }
        if (results.rows == kInsertTableRows) {
            measureInsert(gateway, results);
        }
        // Last: the gateway's log starts anew with the restart.
        if (!m_pgDir.isEmpty()) {
            measureKillDuringOutage(gateway, nodes, results);
        }
        if (gateway.exited()) {
            results.startup.total.note = "the gateway had exited by the end of its run";
        }
        measureWriteLoadWithoutJournal(results);
    }

    // Benchmark 2 again on a gateway that runs without its write journal.
    void measureWriteLoadWithoutJournal(SizeResults &results)
    {
        GatewayProcess gateway(m_gateway, m_server);
        gateway.setWriteJournal(false);
        SizeResults run;
        run.rows = results.rows;
        if (!measureStartup(gateway, run)) {
            results.storedWithoutJournal.rate.note = run.startup.total.note;
            return;
        }
        sleepFor(kSettleSeconds);
        measureWriteLoad(gateway, TagNodes(0, results.rows), run);
        results.storedWithoutJournal = run.stored;
    }

    // Clients write while the server is down; the gateway is killed and
    // started again before the server returns: the journal must bring every
    // last value into the table.
    void measureKillDuringOutage(GatewayProcess &gateway, const TagNodes &nodes,
                                 SizeResults &results)
    {
        KillFigures &kill = results.kill;
        WriteLoad load(gateway.url(), nodes, kOutageWriters, kFirstKillValue);
        sleepFor(kWarmUpSeconds);
        RowValues lastValues;
        if (!writeThroughPause(load, lastValues, kill.writes, kill.recovery.note))
            return;
        kill.rows = lastValues.size();
        gateway.kill();
        QString error;
        if (!gateway.restart(&error) || !controlServer("resume")) {
            kill.recovery.note =
                error.isEmpty() ? "the server could not be started again" : error.toStdString();
            return;
        }
        const Clock::time_point restarted = Clock::now();
        if (!reconnect(kill.recovery.note))
            return;
        kill.recovery.unit = "s";
        if (!std::isnan(
                secondsUntilRowsHold(m_admin, lastValues, kKillRecoveryLimitSeconds, &kill.lost))) {
            kill.recovery.value = secondsSince(restarted);
        }
        progress("%d rows, kill: %ld writes while down, %d of %zu rows lost, back after %s s",
                 results.rows, kill.writes, kill.lost, kill.rows,
                 milliseconds(kill.recovery.value).c_str());
    }

    bool measureStartup(GatewayProcess &gateway, SizeResults &results)
    {
        QString error;
        if (!gateway.start(&error)) {
            results.startup.total.note = error.toStdString();
            return false;
        }
        progress("%d rows: gateway %lld started, waiting for the tags", results.rows,
                 gateway.pid());
        ReadProbe probe(gateway.url());
        results.startup = gateway.waitForTags(results.rows, m_settings.startup);
        results.startupProbe = probe.stop();
        if (!results.startup.total.measured()) {
            m_gatewayLoadsTags = results.startup.tags > 0;
            progress("%d rows: start-up failed: %s\nlast lines of the gateway's log:\n%s",
                     results.rows, results.startup.total.note.c_str(),
                     qPrintable(gateway.logTail(10)));
            return false;
        }
        progress("%d rows: all tags after %.2f s, longest read wait %s ms", results.rows,
                 results.startup.total.value, milliseconds(results.startupProbe.value).c_str());
        return true;
    }

    // Every client's last value must reach the table; the values count as
    // stored per second over the writes and the wait for the table together.
    void measureWriteLoad(GatewayProcess &gateway, const TagNodes &nodes, SizeResults &results)
    {
        results.load = measureUnderWriteLoad(gateway.url(), nodes, kWriters, m_settings.loadSeconds,
                                             kFirstLoadValue);
        StoredFigures &stored = results.stored;
        stored.rows = results.load.lastValues.size();
        stored.drain.unit = "s";
        stored.drain.value = secondsUntilRowsHold(m_admin, results.load.lastValues,
                                                  kRowsHoldLimitSeconds, &stored.differing);
        stored.rate.unit = "/s";
        stored.rate.value =
            double(results.load.totalWrites) / (results.load.runSeconds + stored.drain.value);
        if (!stored.drain.measured()) {
            stored.rate.note = std::to_string(stored.differing) + " rows without their last " +
                               "value after " + text("%.0f", kRowsHoldLimitSeconds) + " s";
        }
        progress("%d rows, 2: %s stored, longest read wait %s ms, table %s", results.rows,
                 headline(stored.rate).c_str(), milliseconds(results.load.probe.value).c_str(),
                 checkVerdict(stored.checked(), stored.differing));
    }

    bool controlServer(const char *action)
    {
        return QProcess::execute(QStringLiteral("bash"), {QStringLiteral(GATEWAY_PG_SERVER_SCRIPT),
                                                          QString::fromLatin1(action), m_pgDir}) ==
               0;
    }

    // The server is paused for the outage while the clients write; they stop
    // before it returns, so their last values are known. False, with a note,
    // when it could not be paused.
    bool writeThroughPause(WriteLoad &load, RowValues &lastValues, long &writesWhileDown,
                           std::string &note)
    {
        if (!controlServer("pause")) {
            note = "the PostgreSQL server could not be stopped";
            return false;
        }
        const long writesBefore = load.writes();
        sleepFor(kOutageSeconds);
        lastValues = load.stop();
        writesWhileDown = load.writes() - writesBefore;
        return true;
    }

    // The benchmark's own connections after the server's return.
    bool reconnect(std::string &note)
    {
        if (reopen(m_admin, kReconnectSeconds) && reopen(m_listener, kReconnectSeconds))
            return true;
        note = "the benchmark could not reconnect";
        return false;
    }

    // The server stops while clients write; they stop just before it is
    // started again, so their last values are known before it is back.
    void measureOutage(GatewayProcess &gateway, const TagNodes &nodes, SizeResults &results)
    {
        OutageFigures &outage = results.outage;
        WriteLoad load(gateway.url(), nodes, kOutageWriters, kFirstOutageValue);
        sleepFor(kWarmUpSeconds);
        ReadProbe probe(gateway.url());
        RowValues lastValues;
        if (!writeThroughPause(load, lastValues, outage.writes, outage.probe.note))
            return;
        outage.rows = lastValues.size();
        outage.probe = probe.stop();
        ReadProbe recoveryProbe(gateway.url());
        if (!controlServer("resume")) {
            outage.recovery.note = "the PostgreSQL server could not be started again";
            return;
        }
        const Clock::time_point restarted = Clock::now();
        if (!reconnect(outage.recovery.note))
            return;
        outage.recovery.unit = "s";
        if (!std::isnan(secondsUntilRowsHold(m_admin, lastValues, kRowsHoldLimitSeconds,
                                             &outage.differing))) {
            outage.recovery.value = secondsSince(restarted);
        }
        outage.recoveryProbe = recoveryProbe.stop();
        outage.updates = measureUpdatesReachingSubscriber(gateway.url(), nodes, m_admin,
                                                          m_settings.updatesAfterOutage, m_random);
        progress("%d rows, 3: longest read wait %s ms while down, %s ms after; last values back "
                 "%s s after the restart, UPDATE → subscriber p50 %s ms",
                 results.rows, milliseconds(outage.probe.value).c_str(),
                 milliseconds(outage.recoveryProbe.value).c_str(),
                 milliseconds(outage.recovery.value).c_str(),
                 milliseconds(outage.updates.latency.samples.median()).c_str());
    }

    void measureInsert(GatewayProcess &gateway, SizeResults &results)
    {
        const int tagsBefore = gateway.tagCount();
        const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
        QString error;
        if (!insertRows(m_admin, results.rows + 1, kInsertedRows, &error)) {
            results.insertToTags.note = error.toStdString();
            return;
        }
        results.insertToTags =
            gateway.waitForTagsSince(tagsBefore + kInsertedRows, sentMs, m_settings.startup);
        progress("%d rows, 4: %d inserted rows are tags after %s s", results.rows, kInsertedRows,
                 milliseconds(results.insertToTags.value).c_str());
    }

    const Settings m_settings;
    QString m_gateway;
    PgServer m_server;
    QString m_pgDir;
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
    QString pgDir;
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
        } else if (argument == QLatin1String("--pg-dir") && hasValue) {
            parsed.pgDir = arguments[++i];
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
        progress("usage: bench_sync [--quick] [--sizes 1000,10000,100000] [--gateway PATH] "
                 "[--pg-dir DIR]");
        return 2;
    }
    const PgServer server = PgServer::fromEnvironment();
    if (!server.configured()) {
        progress("bench_sync needs a PostgreSQL server in GATEWAY_TEST_PG_HOST/PORT/USER/"
                 "PASSWORD/DATABASE (scripts/pg-test-server.sh start DIR prints them)");
        return 2;
    }
    Benchmark benchmark(settingsFor(arguments.quick), arguments.gateway, server, arguments.pgDir);
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
