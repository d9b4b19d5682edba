#ifndef QUAQUALIFIEDNAME_H
#define QUAQUALIFIEDNAME_H

#include <QMetaType>
#include <QString>

#include <open62541/types.h>

// An OPC UA browse name: namespace index and name. Text form "ns=<n>;s=<name>".
class QUaQualifiedName
{
public:
    QUaQualifiedName() = default;
    QUaQualifiedName(quint16 namespaceIndex, const QString &name);
    QUaQualifiedName(const UA_QualifiedName &qualifiedName);
    // Parses the text form; any other text is a name in namespace 0.
    QUaQualifiedName(const QString &text);
    QUaQualifiedName(const char *text);

    quint16 namespaceIndex() const { return m_namespaceIndex; }
    void setNamespaceIndex(quint16 namespaceIndex) { m_namespaceIndex = namespaceIndex; }
    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    bool isEmpty() const { return m_name.isEmpty(); }

    QString toString() const;

    // The name as UTF-8; the caller owns the result (UA_QualifiedName_clear).
    operator UA_QualifiedName() const;

    bool operator==(const QUaQualifiedName &other) const;
    bool operator!=(const QUaQualifiedName &other) const { return !(*this == other); }
    bool operator<(const QUaQualifiedName &other) const;

private:
    quint16 m_namespaceIndex = 0;
    QString m_name;
};

// The name's hash seeded with the namespace index (and the given seed).
uint qHash(const QUaQualifiedName &name, uint seed = 0);

Q_DECLARE_METATYPE(QUaQualifiedName)

#endif // QUAQUALIFIEDNAME_H
