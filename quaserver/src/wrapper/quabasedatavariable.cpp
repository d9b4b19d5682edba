#include "quabasedatavariable.h"

QUaBaseDataVariable::QUaBaseDataVariable(QUaServer *server) : QUaBaseVariable(server) {}
