#ifndef QUACHANGESTRUCTUREDATATYPE_H
#define QUACHANGESTRUCTUREDATATYPE_H

#include <QList>
#include <QMetaType>
#include <QString>

#include "quaenums.h"
#include "quanodeid.h"

// The OPC UA model change structure: which node changed, its type, and how.
// Text form "<affected>|<affectedType>|<verb key>".
class QUaChangeStructureDataType
{
public:
    QUaChangeStructureDataType() = default;
    QUaChangeStructureDataType(const QUaNodeId &affected, const QUaNodeId &affectedType,
                               const QUa::ChangeVerb &verb);
    // Parses the text form; pieces that are missing or do not parse keep
    // their defaults.
    explicit QUaChangeStructureDataType(const QString &text);

    QString toString() const;

    bool operator==(const QUaChangeStructureDataType &other) const;
    bool operator!=(const QUaChangeStructureDataType &other) const { return !(*this == other); }

    QUaNodeId affected;
    QUaNodeId affectedType;
    QUa::ChangeVerb verb{}; // no change flag until one is given
};

Q_DECLARE_METATYPE(QUaChangeStructureDataType)

#endif // QUACHANGESTRUCTUREDATATYPE_H
