#include "quaqualifiedname.h"

#include <QHash>
#include <QStringList>

#include "quavalueconverter.h"

QUaQualifiedName::QUaQualifiedName(quint16 namespaceIndex, const QString &name)
    : m_namespaceIndex(namespaceIndex), m_name(name)
{
}

QUaQualifiedName::QUaQualifiedName(const UA_QualifiedName &qualifiedName)
    : m_namespaceIndex(qualifiedName.namespaceIndex),
      m_name(QUaValueConverter::toQString(qualifiedName.name))
{
}

// Text form "ns=<n>;<kind>=<name>"; anything else is taken whole as a name in
// namespace 0. Spaces are kept.
QUaQualifiedName::QUaQualifiedName(const QString &text) : m_name(text)
{
    const QStringList parts = text.split(QLatin1Char(';'));
    if (parts.size() != 2)
        return;
    quint16 namespaceIndex = 0;
    if (parts.first().contains(QLatin1String("ns="))) {
        bool ok = false;
        const uint number = parts.first().mid(3).toUInt(&ok, 10);
        if (!ok || number > 65535)
            return;
        namespaceIndex = quint16(number);
    }
    const QString &namePart = parts.last();
    if (!namePart.contains(QLatin1String("i=")) && !namePart.contains(QLatin1String("s=")) &&
        !namePart.contains(QLatin1String("g=")) && !namePart.contains(QLatin1String("b=")))
        return;
    m_namespaceIndex = namespaceIndex;
    m_name = namePart.section(QLatin1Char('='), 1, 1);
}

QUaQualifiedName::QUaQualifiedName(const char *text) : QUaQualifiedName(QString::fromUtf8(text)) {}

QString QUaQualifiedName::toString() const
{
    return QStringLiteral("ns=%1;s=%2").arg(m_namespaceIndex).arg(m_name);
}

QUaQualifiedName::operator UA_QualifiedName() const
{
    UA_QualifiedName qualifiedName;
    qualifiedName.namespaceIndex = m_namespaceIndex;
    qualifiedName.name = QUaValueConverter::toUaString(m_name);
    return qualifiedName;
}

bool QUaQualifiedName::operator==(const QUaQualifiedName &other) const
{
    return m_namespaceIndex == other.m_namespaceIndex && m_name == other.m_name;
}

bool QUaQualifiedName::operator<(const QUaQualifiedName &other) const
{
    if (m_namespaceIndex != other.m_namespaceIndex)
        return m_namespaceIndex < other.m_namespaceIndex;
    return m_name < other.m_name;
}

uint qHash(const QUaQualifiedName &name, uint seed)
{
    return qHash(name.name(), name.namespaceIndex() ^ seed);
}
