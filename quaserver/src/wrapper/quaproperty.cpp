#include "quaproperty.h"

QUaProperty::QUaProperty(QUaServer *server) : QUaBaseVariable(server) {}
