#ifndef QUASIGNALER_H
#define QUASIGNALER_H

#include <QObject>

class QUaNode;

// Announces the new objects of one node type: the server emits
// signalNewInstance for every object it makes for a node of that type, also
// for nodes that clients add. Made and owned by the server
// (QUaServer::newInstanceSignaler).
class QUaSignaler : public QObject
{
    Q_OBJECT

public:
    explicit QUaSignaler(QObject *parent = nullptr);

signals:
    void signalNewInstance(QUaNode *node);
    void sendEvent();

public slots:
    // Re-emits sendEvent from the signaler, so that a queued connection to
    // this slot delivers the event in the signaler's thread.
    void on_sendEvent();
};

#endif // QUASIGNALER_H
