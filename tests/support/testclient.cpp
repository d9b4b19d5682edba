#include "support/testclient.h"

#include <open62541/client_config_default.h>

namespace
{

QByteArray urlOf(quint16 port)
{
    return QStringLiteral("opc.tcp://127.0.0.1:%1").arg(port).toUtf8();
}

void silent(void *, UA_LogLevel, UA_LogCategory, const char *, va_list) {}

} // namespace

TestClient::TestClient() : m_client(UA_Client_new())
{
    UA_ClientConfig *config = UA_Client_getConfig(m_client);
    UA_ClientConfig_setDefault(config);
    config->logging->log = &silent;
}

TestClient::~TestClient()
{
    disconnect();
    UA_Client_delete(m_client);
}

UA_StatusCode TestClient::connect(quint16 port)
{
    const QByteArray url = urlOf(port);
    return call([url](UA_Client *client) { return UA_Client_connect(client, url.constData()); });
}

UA_StatusCode TestClient::connectUser(quint16 port, const QString &userName,
                                      const QString &password)
{
    const QByteArray url = urlOf(port);
    const QByteArray user = userName.toUtf8();
    const QByteArray secret = password.toUtf8();
    return call([url, user, secret](UA_Client *client) {
        return UA_Client_connectUsername(client, url.constData(), user.constData(),
                                         secret.constData());
    });
}

void TestClient::disconnect()
{
    call([](UA_Client *client) { return UA_Client_disconnect(client); });
}

QList<UA_EndpointDescription> TestClient::endpoints(quint16 port)
{
    const QByteArray url = urlOf(port);
    return call([url](UA_Client *client) {
        size_t count = 0;
        UA_EndpointDescription *descriptions = nullptr;
        QList<UA_EndpointDescription> result;
        if (UA_Client_getEndpoints(client, url.constData(), &count, &descriptions) ==
            UA_STATUSCODE_GOOD) {
            for (size_t i = 0; i < count; ++i) {
                result.append(descriptions[i]); // the caller clears each one
            }
            UA_free(descriptions);
        }
        return result;
    });
}

QVariant TestClient::readAttribute(const QUaNodeId &nodeId, UA_AttributeId attributeId,
                                   UA_StatusCode *status)
{
    const UA_DataValue value = call([nodeId, attributeId](UA_Client *client) {
        UA_ReadValueId item;
        UA_ReadValueId_init(&item);
        item.nodeId = nodeId;
        item.attributeId = attributeId;
        UA_ReadRequest request;
        UA_ReadRequest_init(&request);
        request.nodesToRead = &item;
        request.nodesToReadSize = 1;
        UA_ReadResponse response = UA_Client_Service_read(client, request);
        UA_DataValue result;
        UA_DataValue_init(&result);
        result.status = response.responseHeader.serviceResult;
        if (result.status == UA_STATUSCODE_GOOD && response.resultsSize == 1) {
            UA_DataValue_copy(&response.results[0], &result);
        }
        UA_ReadResponse_clear(&response);
        UA_NodeId_clear(&item.nodeId);
        return result;
    });
    if (status) {
        *status = value.status;
    }
    const QVariant result = QUaValueConverter::toQVariant(value.value);
    UA_DataValue copy = value;
    UA_DataValue_clear(&copy);
    return result;
}

UA_StatusCode TestClient::writeValue(const QUaNodeId &nodeId, const QVariant &value)
{
    return call([nodeId, value](UA_Client *client) {
        UA_Variant variant = QUaValueConverter::toUaVariant(value);
        UA_NodeId id = nodeId;
        const UA_StatusCode status = UA_Client_writeValueAttribute(client, id, &variant);
        UA_NodeId_clear(&id);
        UA_Variant_clear(&variant);
        return status;
    });
}

QList<TestClient::Reference> TestClient::browse(const QUaNodeId &nodeId,
                                                UA_BrowseDirection direction)
{
    return call([nodeId, direction](UA_Client *client) {
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = nodeId;
        description.browseDirection = direction;
        description.includeSubtypes = true;
        description.resultMask = UA_BROWSERESULTMASK_ALL;
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        UA_BrowseResponse response = UA_Client_Service_browse(client, request);
        QList<Reference> references;
        for (size_t r = 0; r < response.resultsSize; ++r) {
            for (size_t i = 0; i < response.results[r].referencesSize; ++i) {
                const UA_ReferenceDescription &ref = response.results[r].references[i];
                references.append({ref.referenceTypeId, ref.nodeId.nodeId, ref.browseName});
            }
        }
        UA_BrowseResponse_clear(&response);
        UA_BrowseDescription_clear(&description);
        return references;
    });
}

UA_StatusCode TestClient::addObject(const QUaNodeId &parentId, const QUaNodeId &requestedId,
                                    const QUaQualifiedName &browseName, const QUaNodeId &typeId,
                                    QUaNodeId *newNodeId)
{
    return addNode(newNodeId, [=](UA_Client *client, UA_NodeId *id) {
        UA_QualifiedName name = browseName;
        UA_NodeId requested = requestedId, parent = parentId, type = typeId;
        const UA_StatusCode status = UA_Client_addObjectNode(
            client, requested, parent, UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), name, type,
            UA_ObjectAttributes_default, id);
        UA_QualifiedName_clear(&name);
        UA_NodeId_clear(&requested);
        UA_NodeId_clear(&parent);
        UA_NodeId_clear(&type);
        return status;
    });
}

UA_StatusCode TestClient::addVariable(const QUaNodeId &parentId, const QUaQualifiedName &browseName,
                                      QUaNodeId *newNodeId)
{
    return addNode(newNodeId, [=](UA_Client *client, UA_NodeId *id) {
        UA_QualifiedName name = browseName;
        UA_NodeId parent = parentId;
        const UA_StatusCode status = UA_Client_addVariableNode(
            client, UA_NODEID_NUMERIC(1, 0), parent, UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
            name, UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE),
            UA_VariableAttributes_default, id);
        UA_QualifiedName_clear(&name);
        UA_NodeId_clear(&parent);
        return status;
    });
}

UA_StatusCode TestClient::addNode(QUaNodeId *newNodeId,
                                  const std::function<UA_StatusCode(UA_Client *, UA_NodeId *)> &add)
{
    UA_NodeId created = UA_NODEID_NULL;
    const UA_StatusCode status =
        call([add, &created](UA_Client *client) { return add(client, &created); });
    if (newNodeId) {
        *newNodeId = QUaNodeId(created);
    }
    UA_NodeId_clear(&created);
    return status;
}

UA_StatusCode TestClient::deleteNode(const QUaNodeId &nodeId)
{
    return call([nodeId](UA_Client *client) {
        UA_NodeId id = nodeId;
        const UA_StatusCode status = UA_Client_deleteNode(client, id, true);
        UA_NodeId_clear(&id);
        return status;
    });
}

UA_StatusCode TestClient::addReference(const QUaNodeId &sourceId, const QUaNodeId &referenceTypeId,
                                       const QUaNodeId &targetId, UA_NodeClass targetClass)
{
    return call([=](UA_Client *client) {
        UA_NodeId source = sourceId;
        UA_NodeId referenceType = referenceTypeId;
        UA_ExpandedNodeId target;
        UA_ExpandedNodeId_init(&target);
        target.nodeId = targetId;
        const UA_StatusCode status = UA_Client_addReference(client, source, referenceType, true,
                                                            UA_STRING_NULL, target, targetClass);
        UA_NodeId_clear(&source);
        UA_NodeId_clear(&referenceType);
        UA_ExpandedNodeId_clear(&target);
        return status;
    });
}

UA_StatusCode TestClient::deleteReference(const QUaNodeId &sourceId,
                                          const QUaNodeId &referenceTypeId,
                                          const QUaNodeId &targetId)
{
    return call([=](UA_Client *client) {
        UA_NodeId source = sourceId;
        UA_NodeId referenceType = referenceTypeId;
        UA_ExpandedNodeId target;
        UA_ExpandedNodeId_init(&target);
        target.nodeId = targetId;
        const UA_StatusCode status =
            UA_Client_deleteReference(client, source, referenceType, true, target, true);
        UA_NodeId_clear(&source);
        UA_NodeId_clear(&referenceType);
        UA_ExpandedNodeId_clear(&target);
        return status;
    });
}
