#ifndef QUABASEDATAVARIABLE_H
#define QUABASEDATAVARIABLE_H

#include "quabasevariable.h"

// A data variable node (type BaseDataVariableType).
class QUaBaseDataVariable : public QUaBaseVariable
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit QUaBaseDataVariable(QUaServer *server);
};

#endif // QUABASEDATAVARIABLE_H
