#include "quachangestructuredatatype.h"

QUaChangeStructureDataType::QUaChangeStructureDataType(const QUaNodeId &affected,
                                                       const QUaNodeId &affectedType,
                                                       const QUa::ChangeVerb &verb)
    : affected(affected), affectedType(affectedType), verb(verb)
{
}
QUaChangeStructureDataType::QUaChangeStructureDataType(const QString &) {}
QString QUaChangeStructureDataType::toString() const
{
    return QString();
}
bool QUaChangeStructureDataType::operator==(const QUaChangeStructureDataType &other) const
{
    return affected == other.affected && affectedType == other.affectedType && verb == other.verb;
}
