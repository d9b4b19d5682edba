#ifndef QUABASEOBJECT_H
#define QUABASEOBJECT_H

#include "quanode.h"

// An object node of type BaseObjectType or a subtype.
class QUaBaseObject : public QUaNode
{
    Q_OBJECT
    Q_PROPERTY(
        quint8 eventNotifier READ eventNotifier WRITE setEventNotifier NOTIFY eventNotifierChanged)

public:
    Q_INVOKABLE explicit QUaBaseObject(QUaServer *server);

    quint8 eventNotifier() const;
    void setEventNotifier(const quint8 &eventNotifier);

signals:
    void eventNotifierChanged(const quint8 &eventNotifier);
};

#endif // QUABASEOBJECT_H
