#include "quachangestructuredatatype.h"

#include <QMetaEnum>
#include <QStringList>

namespace
{
const QChar separator = QLatin1Char('|');
}

QUaChangeStructureDataType::QUaChangeStructureDataType(const QUaNodeId &affected,
                                                       const QUaNodeId &affectedType,
                                                       const QUa::ChangeVerb &verb)
    : affected(affected), affectedType(affectedType), verb(verb)
{
}

QUaChangeStructureDataType::QUaChangeStructureDataType(const QString &text)
    : affected(text.section(separator, 0, 0)), affectedType(text.section(separator, 1, 1))
{
    bool ok = false;
    const int value = QMetaEnum::fromType<QUa::ChangeVerb>().keyToValue(
        text.section(separator, 2, 2).toUtf8().constData(), &ok);
    if (ok)
        verb = static_cast<QUa::ChangeVerb>(value);
}

QString QUaChangeStructureDataType::toString() const
{
    return QStringList{
        affected.toString(), affectedType.toString(),
        QString::fromLatin1(QMetaEnum::fromType<QUa::ChangeVerb>().valueToKey(int(verb)))}
        .join(separator);
}

bool QUaChangeStructureDataType::operator==(const QUaChangeStructureDataType &other) const
{
    return affected == other.affected && affectedType == other.affectedType && verb == other.verb;
}
