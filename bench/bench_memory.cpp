// Where the gateway's memory per tag goes: heap bytes in use (glibc's
// mallinfo2) before and after each part is made for the same number of tags,
// in one process: the stack's node alone, the object layer's tag with its node
// and listing, the store's rows, the window's rows and the log's entries.
#include "addressspace.h"
#include "gatewaylog.h"
#include "logmodel.h"
#include "mysqltablemodelresult.h"
#include "quabasedatavariable.h"
#include "quaserver.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <cstdio>
#include <malloc.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

namespace
{

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

// Bytes per tag that making something for `tags` tags added to the heap.
template <typename Make> double bytesPerTag(int tags, Make make)
{
    const size_t before = heapInUse();
    make();
    return double(heapInUse() - before) / tags;
}

QString key(int row)
{
    return QStringLiteral("tag%1").arg(row);
}

// The rows as the store reads them: every text its own, none shared.
TagRows tableRows(int tags)
{
    TagRows rows;
    rows.reserve(tags);
    for (int row = 1; row <= tags; ++row)
        rows.append({row, QString::number(row), key(row), QString::number(row),
                     QString::fromLatin1("w"), QString::fromLatin1("desc"),
                     QString::fromLatin1("Int32")});
    return rows;
}

void addBareVariables(UA_Server *server, int tags)
{
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    UA_Int32 zero = 0;
    UA_Variant_setScalar(&attributes.value, &zero, &UA_TYPES[UA_TYPES_INT32]);
    attributes.dataType = UA_TYPES[UA_TYPES_INT32].typeId;
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
    for (int row = 1; row <= tags; ++row) {
        QByteArray name = key(row).toUtf8();
        const UA_String text{size_t(name.size()), reinterpret_cast<UA_Byte *>(name.data())};
        UA_Server_addVariableNode(server, UA_NODEID_STRING(1, const_cast<char *>(name.constData())),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), {1, text},
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes,
                                  nullptr, nullptr);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int tags = argc > 1 ? std::max(1, atoi(argv[1])) : 20000;

    UA_Server *bare = UA_Server_new();
    const double bareNode = bytesPerTag(tags, [&] { addBareVariables(bare, tags); });
    UA_Server_delete(bare);

    const QJsonObject noSinks;
    GatewayLog silent(noSinks, nullptr);
    QUaServer server;
    AddressSpace space(&server, silent);
    space.build({{"FolderMain", QJsonObject{{"FolderName", "Main"}, {"NodeId", 60000}}},
                 {"FolderSub", QJsonObject{{"FolderName", "Sub"}, {"NodeId", 60001}}}},
                [](const QJsonObject &) { return int(QMetaType::Int); });
    const double tag = bytesPerTag(tags, [&] {
        for (int row = 1; row <= tags; ++row)
            space.addSqlTag({{"TagName", key(row)}, {"NodeId", key(row)}, {"WriteAccess", true}},
                            QMetaType::Int, row);
    });

    TagRows storeRows;
    const double storeRow = bytesPerTag(tags, [&] { storeRows = tableRows(tags); });
    MySqlTableModelResult window;
    window.sort(kNumberColumn);
    const double windowRow = bytesPerTag(tags, [&] { window.applyRows(storeRows); });

    const QJsonObject windowOnly{{"Window", QJsonObject{{"OutputEnable", true}}}};
    LogModel model(tags);
    GatewayLog log(windowOnly, &model);
    const double logLine = bytesPerTag(tags, [&] {
        for (int row = 1; row <= tags; ++row)
            log.write("addressspace.cpp", 1,
                      "bool cInternalFunctions::createNewTag(const QJsonObject&)", "info",
                      QStringLiteral("Added SQL TAG: ") + key(row));
        model.flush();
    });

    std::printf("heap per tag at %d tags, bytes (mallinfo2)\n", tags);
    std::printf("  bare stack: variable node                    %8.0f\n", bareNode);
    std::printf("  gateway: node + object + listing             %8.0f  (object layer and listing "
                "%.0f)\n",
                tag, tag - bareNode);
    std::printf("  store's row                                  %8.0f\n", storeRow);
    std::printf("  window's row (texts shared with the store)   %8.0f\n", windowRow);
    std::printf("  log entry \"Added SQL TAG\" (ring of %d)      %8.0f\n", model.capacity(),
                logLine);
    std::printf("  sum                                          %8.0f = %.2f x the bare node\n",
                tag + storeRow + windowRow + logLine,
                (tag + storeRow + windowRow + logLine) / bareNode);
    return 0;
}
