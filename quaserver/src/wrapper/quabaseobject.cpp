#include "quabaseobject.h"

QUaBaseObject::QUaBaseObject(QUaServer *server) : QUaNode(server) {}

quint8 QUaBaseObject::eventNotifier() const
{
    UA_Byte eventNotifier = 0;
    UA_Server_readEventNotifier(stackServer(), stackNodeId(), &eventNotifier);
    return eventNotifier;
}

void QUaBaseObject::setEventNotifier(const quint8 &eventNotifier)
{
    if (UA_Server_writeEventNotifier(stackServer(), stackNodeId(), eventNotifier) ==
        UA_STATUSCODE_GOOD) {
        emit eventNotifierChanged(eventNotifier);
    }
}
