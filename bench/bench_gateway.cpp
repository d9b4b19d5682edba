#include "bench_gateway.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QVariant>

#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>

#include <climits>

namespace bench
{

namespace
{

constexpr int kPollMs = 20;
constexpr double kRowWaitSeconds = 5;
constexpr double kSubscriberWaitSeconds = 5;
constexpr int kWatchedTags = 50;
constexpr int kStopWaitMs = 5000;
constexpr UA_Int32 kFirstWrittenValue = 1000000;
constexpr UA_Int32 kFirstUpdatedValue = 2000000;

const QByteArray kSqlReadyLine = "InitSQL - OK!";
const QByteArray kTagAddedLine = "Added SQL TAG: ";

bool writeJson(const QString &path, const QJsonObject &object, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson()) < 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// The time stamp that opens each line of the gateway's log, as milliseconds
// since the epoch; 0 when the line has none.
qint64 logTimeMs(const QByteArray &line)
{
    static const int width = int(qstrlen("yyyy-MM-dd hh:mm:ss.zzz"));
    const int marker = line.indexOf(" > ");
    if (marker < width) {
        return 0;
    }
    const QDateTime time =
        QDateTime::fromString(QString::fromLatin1(line.mid(marker - width, width)),
                              QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

double secondsBetweenMs(qint64 from, qint64 to)
{
    return double(to - from) / 1000.0;
}

} // namespace

GatewayProcess::GatewayProcess(const QString &executable, const PgServer &server)
    : m_executable(executable), m_server(server), m_port(freeLoopbackPort())
{
}

GatewayProcess::~GatewayProcess()
{
    stop();
}

bool GatewayProcess::start(QString *error)
{
    if (!m_folder.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + m_folder.errorString();
        return false;
    }
    // The gateway reads its settings beside the executable, so it runs from a copy.
    const QString copy = m_folder.filePath(QStringLiteral("OpcUaSqlGateway"));
    if (!QFile::copy(m_executable, copy)) {
        *error = QStringLiteral("cannot copy %1 to %2").arg(m_executable, copy);
        return false;
    }
    if (!writeConfiguration(error)) {
        return false;
    }
    const QString logPath = m_folder.filePath(QStringLiteral("gateway.log"));
    m_process.setProgram(copy);
    m_process.setWorkingDirectory(m_folder.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(logPath);
    m_startedAtMs = QDateTime::currentMSecsSinceEpoch();
    m_process.start();
    if (!m_process.waitForStarted(kStopWaitMs)) {
        *error = QStringLiteral("the gateway did not start: ") + m_process.errorString();
        return false;
    }
    m_log.setFileName(logPath);
    if (!m_log.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the gateway's log ") + logPath;
        return false;
    }
    return true;
}

bool GatewayProcess::writeConfiguration(QString *error) const
{
    const QDir settings(m_folder.filePath(QStringLiteral("settings")));
    if (!settings.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("cannot make ") + settings.path();
        return false;
    }
    // Both log outputs on, as the gateway ships; the console one is how the
    // benchmark sees the tags arrive.
    const QJsonObject general{{"opcua_port", m_port},
                              {"opcua_AnonymousLoginAllowed", true},
                              {"opcua_User_name", "operator"},
                              {"opcua_User_password", "operator"},
                              {"Console", QJsonObject{{"OutputEnable", true}}},
                              {"Window", QJsonObject{{"OutputEnable", true}}}};
    const QJsonObject sql{{"sql_enable", true},
                          {"database_type", "POSTGRESQL"},
                          {"database_name", m_server.database},
                          {"database_localpath", ""},
                          {"database_path", m_server.host},
                          {"database_port", m_server.port},
                          {"database_user", m_server.user},
                          {"database_password", m_server.password},
                          {"table_enable", true},
                          {"sql_write_journal", m_writeJournal},
                          {"Tables", QJsonArray{tagsTableDefinition()}}};
    const QJsonObject tags{
        {"FolderMain", QJsonObject{{"FolderName", "Gateway"}, {"NodeId", 50000}}},
        {"FolderSub", QJsonObject{{"FolderName", "Tags"}, {"NodeId", 50001}}},
        {"Properties", QJsonArray{}},
        {"PreloadTags", false},
        {"Tags", QJsonArray{}}};
    return writeJson(settings.filePath(QStringLiteral("settings.json")), general, error) &&
           writeJson(settings.filePath(QStringLiteral("sql.json")), sql, error) &&
           writeJson(settings.filePath(QStringLiteral("tags.json")), tags, error);
}

void GatewayProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.terminate();
    if (!m_process.waitForFinished(kStopWaitMs)) {
        m_process.kill();
        m_process.waitForFinished(kStopWaitMs);
    }
}

void GatewayProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(kStopWaitMs);
}

bool GatewayProcess::restart(QString *error)
{
    m_process.start();
    if (!m_process.waitForStarted(kStopWaitMs)) {
        *error = QStringLiteral("the gateway did not start again: ") + m_process.errorString();
        return false;
    }
    // The log file starts anew with the process.
    m_log.close();
    m_unfinishedLine.clear();
    return m_log.open(QIODevice::ReadOnly);
}

bool GatewayProcess::exited()
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(0);
}

void GatewayProcess::readLog()
{
    m_unfinishedLine += m_log.readAll();
    int begin = 0;
    for (int end = m_unfinishedLine.indexOf('\n'); end >= 0;
         end = m_unfinishedLine.indexOf('\n', begin)) {
        readLogLine(m_unfinishedLine.mid(begin, end - begin));
        begin = end + 1;
    }
    m_unfinishedLine.remove(0, begin);
}

void GatewayProcess::readLogLine(const QByteArray &line)
{
    if (line.contains(kTagAddedLine)) {
        ++m_tags;
        m_lastTagAtMs = logTimeMs(line);
        if (m_firstTagAtMs == 0) {
            m_firstTagAtMs = m_lastTagAtMs;
        }
    } else if (m_sqlReadyAtMs == 0 && line.contains(kSqlReadyLine)) {
        m_sqlReadyAtMs = logTimeMs(line);
    }
}

QString GatewayProcess::logTail(int lines)
{
    QFile file(m_log.fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The stack's trace and debug records would crowd out the gateway's own lines.
    QStringList tail;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty() && !line.contains("QUa::LogLevel::Trace") &&
            !line.contains("QUa::LogLevel::Debug")) {
            tail << QString::fromUtf8(line);
        }
    }
    return tail.mid(qMax(0, tail.size() - lines)).join('\n');
}

bool GatewayProcess::waitForSqlReady(double seconds, QString *error)
{
    const Clock::time_point start = Clock::now();
    for (readLog(); m_sqlReadyAtMs == 0; readLog()) {
        if (exited()) {
            *error = QStringLiteral("the gateway exited before \"InitSQL - OK!\"");
            return false;
        }
        if (secondsSince(start) > seconds) {
            *error = QStringLiteral("no \"InitSQL - OK!\" in the gateway's log within %1 s")
                         .arg(seconds);
            return false;
        }
        m_process.waitForFinished(kPollMs);
    }
    return true;
}

// The failure, or empty once the log has announced `total` SQL tags.
QString GatewayProcess::waitForTagCount(int total, const StartupLimits &limits)
{
    const Clock::time_point start = Clock::now();
    Clock::time_point lastProgress = start;
    const int tagsBefore = m_tags;
    int tagsSeen = m_tags;
    for (readLog(); m_tags < total; readLog()) {
        if (m_tags != tagsSeen) {
            tagsSeen = m_tags;
            lastProgress = Clock::now();
        }
        if (exited()) {
            return QStringLiteral("the gateway exited after %1 of %2 tags").arg(m_tags).arg(total);
        }
        if (m_tags == tagsBefore && secondsSince(start) > limits.firstTagSeconds) {
            return QStringLiteral("no new \"Added SQL TAG: \" line within %1 s: the rows are not "
                                  "being turned into tags")
                .arg(limits.firstTagSeconds);
        }
        if (m_tags > tagsBefore && secondsSince(lastProgress) > limits.withoutProgressSeconds) {
            return QStringLiteral("no new tag for %1 s, %2 of %3 tags")
                .arg(limits.withoutProgressSeconds)
                .arg(m_tags)
                .arg(total);
        }
        if (secondsSince(start) > limits.overallSeconds) {
            return QStringLiteral("%1 of %2 tags after the limit of %3 s")
                .arg(m_tags)
                .arg(total)
                .arg(limits.overallSeconds);
        }
        m_process.waitForFinished(kPollMs);
    }
    return {};
}

StartupFigures GatewayProcess::waitForTags(int rows, const StartupLimits &limits)
{
    StartupFigures figures;
    figures.total.unit = "s";
    figures.firstLoad.unit = "s";
    QString failure;
    if (waitForSqlReady(limits.firstTagSeconds, &failure)) {
        failure = waitForTagCount(rows, limits);
    }
    figures.tags = m_tags;
    if (!failure.isEmpty()) {
        figures.total.note = failure.toStdString();
        return figures;
    }
    // With no rows there is no tag line: the start-up then ends with SQL ready.
    const qint64 readyAtMs = rows > 0 ? m_lastTagAtMs : m_sqlReadyAtMs;
    figures.total.value = secondsBetweenMs(m_startedAtMs, readyAtMs);
    if (rows > 0) {
        figures.firstLoad.value = secondsBetweenMs(m_firstTagAtMs, m_lastTagAtMs);
    }
    return figures;
}

int GatewayProcess::tagCount()
{
    readLog();
    return m_tags;
}

Figure GatewayProcess::waitForTagsSince(int total, qint64 sinceMs, const StartupLimits &limits)
{
    Figure figure;
    figure.unit = "s";
    const QString failure = waitForTagCount(total, limits);
    if (failure.isEmpty()) {
        figure.value = secondsBetweenMs(sinceMs, m_lastTagAtMs);
    } else {
        figure.note = failure.toStdString();
    }
    return figure;
}

Figure measureWritesReachingRows(const QByteArray &url, const TagNodes &nodes,
                                 const QSqlDatabase &readback, const Budget &budget,
                                 std::mt19937 &random)
{
    Figure figure;
    figure.unit = "/s";
    ClientPtr client = connectClient(url, 3);
    if (!client) {
        figure.note = "the client could not connect";
        return figure;
    }
    QSqlQuery query(readback);
    query.prepare(QStringLiteral("SELECT value FROM tags WHERE id = ?"));
    const Clock::time_point start = Clock::now();
    for (UA_Int32 value = kFirstWrittenValue;
         figure.samples.count() < budget.maxSamples && secondsSince(start) < budget.maxSeconds;
         ++value) {
        const int row = nodes.randomRow(random);
        const QString expected = QString::number(value);
        const Clock::time_point sent = Clock::now();
        const UA_StatusCode status = writeInt32(client.get(), nodes.nodeId(row), value);
        if (status != UA_STATUSCODE_GOOD) {
            ++figure.failures;
            figure.note = std::string("write refused: ") + UA_StatusCode_name(status);
            continue;
        }
        bool landed = false;
        query.bindValue(0, row);
        while (!landed && secondsSince(sent) < kRowWaitSeconds) {
            landed = query.exec() && query.next() && query.value(0).toString() == expected;
            if (!landed) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        if (landed) {
            figure.samples.add(millisecondsBetween(sent, Clock::now()));
        } else {
            ++figure.failures;
            figure.note = "a written value did not reach its row within 5 s";
        }
    }
    figure.value = double(figure.samples.count()) / secondsSince(start);
    return figure;
}

namespace
{

// A subscribed tag and the last value its notifications brought.
struct WatchedTag {
    int row = 0;
    UA_Int32 lastValue = INT_MIN;
    bool heard = false;
    Clock::time_point heardAt;
};

void valueNotified(UA_Client *, UA_UInt32, void *, UA_UInt32, void *context, UA_DataValue *value)
{
    auto *tag = static_cast<WatchedTag *>(context);
    tag->heard = true;
    if (value->hasValue && UA_Variant_hasScalarType(&value->value, &UA_TYPES[UA_TYPES_INT32])) {
        tag->lastValue = *static_cast<UA_Int32 *>(value->value.data);
        tag->heardAt = Clock::now();
    }
}

// Runs the client's network until the condition holds or the time is up.
template <typename Condition>
bool iterateUntil(UA_Client *client, double seconds, Condition condition)
{
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (secondsSince(start) > seconds ||
            UA_Client_run_iterate(client, 2) != UA_STATUSCODE_GOOD) {
            return false;
        }
    }
    return true;
}

void keepClientRunning(UA_Client *client, double seconds)
{
    iterateUntil(client, seconds, [] { return false; });
}

// Distinct random rows, so each watched tag has one monitored item.
std::vector<WatchedTag> pickWatchedTags(const TagNodes &nodes, std::mt19937 &random)
{
    std::vector<int> rows(std::size_t(nodes.rows()));
    for (int row = 1; row <= nodes.rows(); ++row) {
        rows[std::size_t(row - 1)] = row;
    }
    std::shuffle(rows.begin(), rows.end(), random);
    rows.resize(std::min<std::size_t>(rows.size(), kWatchedTags));
    std::vector<WatchedTag> tags(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        tags[i].row = rows[i];
    }
    return tags;
}

// Subscribes at the server's shortest intervals; false with a note on failure.
bool subscribe(UA_Client *client, const TagNodes &nodes, std::vector<WatchedTag> &tags,
               SubscriptionFigures &figures)
{
    UA_CreateSubscriptionRequest subscriptionRequest = UA_CreateSubscriptionRequest_default();
    subscriptionRequest.requestedPublishingInterval = 0; // revised up to the server's minimum
    const UA_CreateSubscriptionResponse subscription =
        UA_Client_Subscriptions_create(client, subscriptionRequest, nullptr, nullptr, nullptr);
    if (subscription.responseHeader.serviceResult != UA_STATUSCODE_GOOD) {
        figures.latency.note = "the subscription was refused";
        return false;
    }
    figures.publishingIntervalMs = subscription.revisedPublishingInterval;

    std::vector<UA_MonitoredItemCreateRequest> items;
    std::vector<void *> contexts;
    std::vector<UA_Client_DataChangeNotificationCallback> callbacks(tags.size(), &valueNotified);
    std::vector<UA_Client_DeleteMonitoredItemCallback> deleted(tags.size(), nullptr);
    for (WatchedTag &tag : tags) {
        UA_MonitoredItemCreateRequest item =
            UA_MonitoredItemCreateRequest_default(nodes.nodeId(tag.row));
        item.requestedParameters.samplingInterval = 0; // revised up to the server's minimum
        items.push_back(item);
        contexts.push_back(&tag);
    }
    UA_CreateMonitoredItemsRequest request;
    UA_CreateMonitoredItemsRequest_init(&request);
    request.subscriptionId = subscription.subscriptionId;
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
    request.itemsToCreate = items.data();
    request.itemsToCreateSize = items.size();
    UA_CreateMonitoredItemsResponse response = UA_Client_MonitoredItems_createDataChanges(
        client, request, contexts.data(), callbacks.data(), deleted.data());
    bool created = response.responseHeader.serviceResult == UA_STATUSCODE_GOOD &&
                   response.resultsSize == items.size();
    for (std::size_t i = 0; created && i < response.resultsSize; ++i) {
        created = response.results[i].statusCode == UA_STATUSCODE_GOOD;
        figures.samplingIntervalMs = response.results[i].revisedSamplingInterval;
    }
    UA_CreateMonitoredItemsResponse_clear(&response);
    if (!created) {
        figures.latency.note = "the monitored items were refused";
        return false;
    }
    const bool allHeard = iterateUntil(client, kSubscriberWaitSeconds, [&tags] {
        return std::all_of(tags.begin(), tags.end(),
                           [](const WatchedTag &tag) { return tag.heard; });
    });
    if (!allHeard) {
        figures.latency.note = "the first values of the watched tags did not arrive";
    }
    return allHeard;
}

} // namespace

SubscriptionFigures measureUpdatesReachingSubscriber(const QByteArray &url, const TagNodes &nodes,
                                                     const QSqlDatabase &writer,
                                                     const Budget &budget, std::mt19937 &random)
{
    SubscriptionFigures figures;
    figures.latency.unit = "ms";
    ClientPtr client = connectClient(url, 3);
    if (!client) {
        figures.latency.note = "the client could not connect";
        return figures;
    }
    std::vector<WatchedTag> tags = pickWatchedTags(nodes, random);
    if (!subscribe(client.get(), nodes, tags, figures)) {
        return figures;
    }
    TagUpdater updater(writer);
    std::uniform_int_distribution<std::size_t> anyTag(0, tags.size() - 1);
    std::uniform_real_distribution<double> anyPhase(0, figures.publishingIntervalMs / 1000.0);
    Figure &latency = figures.latency;
    const Clock::time_point start = Clock::now();
    for (UA_Int32 value = kFirstUpdatedValue;
         latency.samples.count() < budget.maxSamples && secondsSince(start) < budget.maxSeconds;
         ++value) {
        // Sent right after a notification, every update would wait one whole
        // publishing interval; spread over the cycle they show its real spread.
        keepClientRunning(client.get(), anyPhase(random));
        const WatchedTag &tag = tags[anyTag(random)];
        const Clock::time_point sent = Clock::now();
        if (!updater.set(tag.row, QString::number(value))) {
            ++latency.failures;
            latency.note = updater.lastError().toStdString();
            continue;
        }
        if (iterateUntil(client.get(), kSubscriberWaitSeconds,
                         [&tag, value] { return tag.lastValue == value; })) {
            latency.samples.add(millisecondsBetween(sent, tag.heardAt));
        } else {
            ++latency.failures;
            latency.note = "an updated value did not reach the subscriber within 5 s";
        }
    }
    latency.value = latency.samples.median();
    return figures;
}

} // namespace bench
