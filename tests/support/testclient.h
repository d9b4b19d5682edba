#ifndef TESTCLIENT_H
#define TESTCLIENT_H

#include <QEventLoop>
#include <QList>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <open62541/client.h>
#include <open62541/client_highlevel.h>

#include <functional>
#include <future>

#include "quatypes.h"
#include "support/freeport.h"

// The result of work on another thread, waited for while this thread's Qt
// event loop keeps running, so a server that lives in that loop goes on serving.
template <typename T> T resultServedByQt(std::future<T> &result)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (result.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            loop.quit();
        }
    });
    poll.start(1);
    loop.exec();
    return result.get();
}

// An open62541 client for the tests. Every call runs on a worker thread while
// the calling thread keeps running the Qt event loop, so the server, which
// lives in that loop, goes on serving.
class TestClient
{
public:
    TestClient();
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    // Runs f(client) on a worker thread and returns its result.
    template <typename F> auto call(F f) -> decltype(f(static_cast<UA_Client *>(nullptr)))
    {
        UA_Client *client = m_client;
        auto result = std::async(std::launch::async, [client, f] { return f(client); });
        return resultServedByQt(result);
    }

    // For settings beyond the defaults, before connecting.
    UA_ClientConfig *config() { return UA_Client_getConfig(m_client); }

    UA_StatusCode connect(quint16 port);
    UA_StatusCode connectUser(quint16 port, const QString &userName, const QString &password);
    void disconnect();

    // The advertised endpoints of the server on the port (no session needed).
    QList<UA_EndpointDescription> endpoints(quint16 port);

    // An attribute's value as the stack gives it; status in *status when asked.
    QVariant readAttribute(const QUaNodeId &nodeId, UA_AttributeId attributeId,
                           UA_StatusCode *status = nullptr);
    QVariant readValue(const QUaNodeId &nodeId, UA_StatusCode *status = nullptr)
    {
        return readAttribute(nodeId, UA_ATTRIBUTEID_VALUE, status);
    }
    UA_StatusCode writeValue(const QUaNodeId &nodeId, const QVariant &value);

    struct Reference {
        QUaNodeId referenceTypeId;
        QUaNodeId targetId;
        QUaQualifiedName browseName;
    };
    QList<Reference> browse(const QUaNodeId &nodeId,
                            UA_BrowseDirection direction = UA_BROWSEDIRECTION_FORWARD);

    UA_StatusCode addObject(const QUaNodeId &parentId, const QUaNodeId &requestedId,
                            const QUaQualifiedName &browseName, const QUaNodeId &typeId,
                            QUaNodeId *newNodeId = nullptr);
    UA_StatusCode addVariable(const QUaNodeId &parentId, const QUaQualifiedName &browseName,
                              QUaNodeId *newNodeId = nullptr);
    UA_StatusCode deleteNode(const QUaNodeId &nodeId);
    UA_StatusCode addReference(const QUaNodeId &sourceId, const QUaNodeId &referenceTypeId,
                               const QUaNodeId &targetId, UA_NodeClass targetClass);
    UA_StatusCode deleteReference(const QUaNodeId &sourceId, const QUaNodeId &referenceTypeId,
                                  const QUaNodeId &targetId);

private:
    UA_StatusCode addNode(QUaNodeId *newNodeId,
                          const std::function<UA_StatusCode(UA_Client *, UA_NodeId *)> &add);

    UA_Client *m_client;
};

#endif // TESTCLIENT_H
