#ifndef SERVERFIXTURE_H
#define SERVERFIXTURE_H

// For the object-layer suites: a server on a free loopback port with one user,
// a client's browse by name and method calls.

#include <memory>

#include "quaserver.h"
#include "support/testclient.h"

inline const QString kUser = QStringLiteral("operator");
inline const QString kPassword = QStringLiteral("secret");

inline std::unique_ptr<QUaServer> newServer()
{
    auto server = std::make_unique<QUaServer>();
    server->setPort(freeLoopbackPort());
    server->addUser(kUser, kPassword);
    return server;
}

// The target of the node's forward reference to the browse name, or null.
inline QUaNodeId childOf(TestClient &client, const QUaNodeId &nodeId, const QString &name)
{
    for (const TestClient::Reference &ref : client.browse(nodeId)) {
        if (ref.browseName.name() == name) {
            return ref.targetId;
        }
    }
    return QUaNodeId();
}

struct CallResult {
    UA_StatusCode status;
    QVariantList outputs;
};

inline CallResult callMethod(TestClient &client, const QUaNodeId &objectId,
                             const QUaNodeId &methodId, const QVariantList &inputs = {})
{
    return client.call([objectId, methodId, inputs](UA_Client *c) {
        const UA_DataType *variantType = &UA_TYPES[UA_TYPES_VARIANT];
        auto *input = static_cast<UA_Variant *>(UA_Array_new(inputs.size(), variantType));
        for (int i = 0; i < inputs.size(); ++i) {
            input[i] = QUaValueConverter::toUaVariant(inputs.at(i));
        }
        UA_NodeId object = objectId;
        UA_NodeId method = methodId;
        size_t outputSize = 0;
        UA_Variant *output = nullptr;
        CallResult result{
            UA_Client_call(c, object, method, inputs.size(), input, &outputSize, &output), {}};
        for (size_t i = 0; i < outputSize; ++i) {
            result.outputs.append(QUaValueConverter::toQVariant(output[i]));
        }
        UA_Array_delete(output, outputSize, variantType);
        UA_Array_delete(input, inputs.size(), variantType);
        UA_NodeId_clear(&object);
        UA_NodeId_clear(&method);
        return result;
    });
}

#endif // SERVERFIXTURE_H
