#ifndef QUAPROPERTY_H
#define QUAPROPERTY_H

#include "quabasevariable.h"

// A property node (type PropertyType).
class QUaProperty : public QUaBaseVariable
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit QUaProperty(QUaServer *server);
};

#endif // QUAPROPERTY_H
