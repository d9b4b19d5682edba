#ifndef QUAENUMERATIONENTRY_H
#define QUAENUMERATIONENTRY_H

#include <QMap>

#include "qualocalizedtext.h"

// One key of an enumeration registered with the server.
struct QUaEnumerationEntry {
    QUaLocalizedText displayName;
    QUaLocalizedText description;

    bool operator==(const QUaEnumerationEntry &other) const
    {
        return displayName == other.displayName && description == other.description;
    }
    bool operator!=(const QUaEnumerationEntry &other) const { return !(*this == other); }
};

// An enumeration's entries by value, in ascending value order.
using QUaEnumMap = QMap<qint64, QUaEnumerationEntry>;

#endif // QUAENUMERATIONENTRY_H
