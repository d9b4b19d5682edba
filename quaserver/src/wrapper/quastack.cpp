#include "quastack.h"

namespace
{

void appendReferences(const UA_BrowseResult &result, QList<QUaStack::Reference> &references)
{
    for (size_t i = 0; i < result.referencesSize; ++i) {
        const UA_ReferenceDescription &ref = result.references[i];
        references.append({ref.nodeId.nodeId, ref.browseName});
    }
}

} // namespace

QList<QUaStack::Reference> QUaStack::browse(UA_Server *server, const UA_NodeId &nodeId,
                                            UA_BrowseDirection direction,
                                            const UA_NodeId &referenceTypeId, bool includeSubtypes,
                                            UA_UInt32 nodeClassMask)
{
    UA_BrowseDescription description;
    UA_BrowseDescription_init(&description);
    description.nodeId = nodeId; // shallow: the description is not cleared
    description.browseDirection = direction;
    description.referenceTypeId = referenceTypeId;
    description.includeSubtypes = includeSubtypes;
    description.nodeClassMask = nodeClassMask;
    description.resultMask = UA_BROWSERESULTMASK_BROWSENAME;

    QList<Reference> references;
    UA_BrowseResult result = UA_Server_browse(server, 0, &description);
    appendReferences(result, references);
    while (result.statusCode == UA_STATUSCODE_GOOD && result.continuationPoint.length > 0) {
        UA_ByteString continuationPoint = result.continuationPoint;
        result.continuationPoint = UA_BYTESTRING_NULL;
        UA_BrowseResult_clear(&result);
        result = UA_Server_browseNext(server, false, &continuationPoint);
        UA_ByteString_clear(&continuationPoint);
        appendReferences(result, references);
    }
    UA_BrowseResult_clear(&result);
    return references;
}

QUaNodeId QUaStack::parentOf(UA_Server *server, const UA_NodeId &nodeId)
{
    const QList<Reference> parents = browse(server, nodeId, UA_BROWSEDIRECTION_INVERSE,
                                            UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES));
    return parents.isEmpty() ? QUaNodeId() : parents.first().targetId;
}

bool QUaStack::nodeExists(UA_Server *server, const UA_NodeId &nodeId)
{
    UA_NodeId readId;
    const bool exists = UA_Server_readNodeId(server, nodeId, &readId) == UA_STATUSCODE_GOOD;
    if (exists) {
        UA_NodeId_clear(&readId);
    }
    return exists;
}
