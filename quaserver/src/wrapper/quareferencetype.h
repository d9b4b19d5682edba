#ifndef QUAREFERENCETYPE_H
#define QUAREFERENCETYPE_H

#include <QHash>
#include <QMetaType>
#include <QString>

// A reference type named by its forward and inverse names, for example
// "Organizes" / "OrganizedBy".
struct QUaReferenceType {
    QString strForwardName;
    QString strInverseName;

    bool operator==(const QUaReferenceType &other) const
    {
        return strForwardName == other.strForwardName && strInverseName == other.strInverseName;
    }
    bool operator!=(const QUaReferenceType &other) const { return !(*this == other); }
};

inline uint qHash(const QUaReferenceType &refType, uint seed = 0)
{
    return qHash(refType.strForwardName, seed) ^ qHash(refType.strInverseName, seed);
}

Q_DECLARE_METATYPE(QUaReferenceType)

#endif // QUAREFERENCETYPE_H
