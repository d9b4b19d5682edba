#ifndef QUAFOLDEROBJECT_H
#define QUAFOLDEROBJECT_H

#include "quabaseobject.h"

// An object node of type FolderType: its children are organized, not components.
class QUaFolderObject : public QUaBaseObject
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit QUaFolderObject(QUaServer *server);
};

#endif // QUAFOLDEROBJECT_H
