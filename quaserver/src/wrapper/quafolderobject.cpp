#include "quafolderobject.h"

QUaFolderObject::QUaFolderObject(QUaServer *server) : QUaBaseObject(server) {}
