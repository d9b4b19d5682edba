#ifndef QUANODEID_H
#define QUANODEID_H

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <type_traits>

#include <open62541/types.h>

#include "quaenums.h"

// An OPC UA node id on the Qt side. Owns its UA_NodeId: copies are deep,
// destruction frees it. The text form is "ns=<n>;i=<number>", "ns=<n>;s=<text>",
// "ns=<n>;g=<guid>" or "ns=<n>;b=<base64>".
class QUaNodeId
{
public:
    QUaNodeId();
    QUaNodeId(const UA_NodeId &nodeId);
    QUaNodeId(quint16 namespaceIndex, quint32 numericId);
    QUaNodeId(quint16 namespaceIndex, const QString &stringId);
    // Only character pointers: QUaNodeId(ns, 0) must stay a numeric id.
    template <typename Char, typename = std::enable_if_t<std::is_same<Char, char>::value>>
    QUaNodeId(quint16 namespaceIndex, const Char *stringId)
        : QUaNodeId(namespaceIndex, QString::fromUtf8(stringId))
    {
    }
    QUaNodeId(quint16 namespaceIndex, const QUuid &uuid);
    QUaNodeId(quint16 namespaceIndex, const QByteArray &byteStringId);
    // Parses the text form; text that does not parse gives the null node id
    // and one warning on Qt's warning output.
    QUaNodeId(const QString &text);
    QUaNodeId(const char *text);

    QUaNodeId(const QUaNodeId &other);
    QUaNodeId(QUaNodeId &&other) noexcept;
    QUaNodeId &operator=(const QUaNodeId &other);
    QUaNodeId &operator=(QUaNodeId &&other) noexcept;
    ~QUaNodeId();

    quint16 namespaceIndex() const { return m_nodeId.namespaceIndex; }
    QUa::NodeIdType type() const { return static_cast<QUa::NodeIdType>(m_nodeId.identifierType); }

    // Each getter gives the default value when the id is of another kind.
    // Each setter keeps the namespace index and switches the kind.
    quint32 numericId() const;
    void setNumericId(quint32 numericId);
    QString stringId() const;
    void setStringId(const QString &stringId);
    QUuid uuId() const;
    void setUuId(const QUuid &uuid);
    QByteArray byteStringId() const;
    void setByteStringId(const QByteArray &byteStringId);

    bool isNull() const;
    void clear();

    QString toString() const;

    // A deep copy that the caller owns and frees (UA_NodeId_clear).
    operator UA_NodeId() const;

    bool operator==(const QUaNodeId &other) const;
    bool operator!=(const QUaNodeId &other) const { return !(*this == other); }
    // Namespace first, then identifier kind, then identifier.
    bool operator<(const QUaNodeId &other) const;

    friend uint qHash(const QUaNodeId &nodeId, uint seed);

private:
    void replaceIdentifier(UA_NodeId nodeId);

    UA_NodeId m_nodeId;
};

uint qHash(const QUaNodeId &nodeId, uint seed = 0);

Q_DECLARE_METATYPE(QUaNodeId)

#endif // QUANODEID_H
