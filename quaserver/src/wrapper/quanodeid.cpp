#include "quanodeid.h"

#include <QDebug>
#include <QStringList>

#include <utility>

#include "quavalueconverter.h"

namespace
{

// A node id with the given namespace and kind whose identifier is still empty.
UA_NodeId emptyIdentifier(quint16 namespaceIndex, UA_NodeIdType kind)
{
    UA_NodeId nodeId;
    UA_NodeId_init(&nodeId);
    nodeId.namespaceIndex = namespaceIndex;
    nodeId.identifierType = kind;
    return nodeId;
}

const char *const kindMarkers[] = {"i=", "s=", "g=", "b="};

bool hasKindMarker(const QString &part)
{
    for (const char *marker : kindMarkers)
        if (part.contains(QLatin1String(marker)))
            return true;
    return false;
}

// Sets the identifier of the given kind letter from its text. Returns false,
// with the node id unchanged and a warning logged, when the text does not
// hold a valid identifier of that kind.
bool setIdentifierFromText(QUaNodeId &nodeId, QChar kind, const QString &identifier,
                           const QString &text)
{
    if (kind == QLatin1Char('i')) {
        bool ok = false;
        const uint numeric = identifier.toUInt(&ok, 10);
        if (ok)
            nodeId.setNumericId(numeric);
        else
            qWarning() << text << "does not contain a valid numeric identifier";
        return ok;
    }
    if (kind == QLatin1Char('s')) {
        if (identifier.isEmpty()) {
            qWarning() << text << "does not contain a valid string identifier";
            return false;
        }
        nodeId.setStringId(identifier);
        return true;
    }
    if (kind == QLatin1Char('g')) {
        const QUuid uuid(identifier);
        if (uuid.isNull()) {
            qWarning() << text << "does not contain a valid guid identifier";
            return false;
        }
        nodeId.setUuId(uuid);
        return true;
    }
    if (kind == QLatin1Char('b')) {
        const QByteArray bytes = QByteArray::fromBase64(identifier.toLatin1());
        if (bytes.isEmpty()) {
            qWarning() << text << "does not contain a valid byte string identifier";
            return false;
        }
        nodeId.setByteStringId(bytes);
        return true;
    }
    qWarning() << "Could not parse node id:" << text;
    return false;
}

} // namespace

QUaNodeId::QUaNodeId()
{
    UA_NodeId_init(&m_nodeId);
}

QUaNodeId::QUaNodeId(const UA_NodeId &nodeId)
{
    UA_NodeId_copy(&nodeId, &m_nodeId);
}

QUaNodeId::QUaNodeId(quint16 namespaceIndex, quint32 numericId)
    : m_nodeId(UA_NODEID_NUMERIC(namespaceIndex, numericId))
{
}

QUaNodeId::QUaNodeId(quint16 namespaceIndex, const QString &stringId)
    : m_nodeId(emptyIdentifier(namespaceIndex, UA_NODEIDTYPE_NUMERIC))
{
    setStringId(stringId);
}

QUaNodeId::QUaNodeId(quint16 namespaceIndex, const QUuid &uuid)
    : m_nodeId(emptyIdentifier(namespaceIndex, UA_NODEIDTYPE_NUMERIC))
{
    setUuId(uuid);
}

QUaNodeId::QUaNodeId(quint16 namespaceIndex, const QByteArray &byteStringId)
    : m_nodeId(emptyIdentifier(namespaceIndex, UA_NODEIDTYPE_NUMERIC))
{
    setByteStringId(byteStringId);
}

// Text form: "ns=<n>;<kind>=<identifier>"; the namespace part is optional.
// All spaces are dropped before parsing, also those inside identifiers.
QUaNodeId::QUaNodeId(const QString &text) : QUaNodeId()
{
    if (text.isEmpty())
        return;
    const QStringList parts = text.simplified().remove(QLatin1Char(' ')).split(QLatin1Char(';'));
    if (parts.size() > 2 || !hasKindMarker(parts.last())) {
        qWarning() << "Failed to split node id string:" << text;
        return;
    }
    quint16 namespaceIndex = 0;
    const QString nsMarker = QStringLiteral("ns=");
    if (parts.size() == 2 && parts.first().contains(nsMarker)) {
        bool ok = false;
        const uint number = parts.first()
                                .mid(parts.first().lastIndexOf(nsMarker) + nsMarker.size())
                                .toUInt(&ok, 10);
        if (!ok || number > 65535) {
            qWarning() << "Failed to split node id string:" << text;
            return;
        }
        namespaceIndex = quint16(number);
    }
    const QStringList pieces = parts.last().split(QLatin1Char('='));
    const QChar kind = pieces.first().isEmpty() ? QChar() : pieces.first().at(0);
    m_nodeId.namespaceIndex = namespaceIndex;
    if (!setIdentifierFromText(*this, kind, pieces.mid(1).join(QLatin1Char('=')), text))
        UA_NodeId_init(&m_nodeId);
}

QUaNodeId::QUaNodeId(const char *text) : QUaNodeId(QString::fromUtf8(text)) {}

QUaNodeId::QUaNodeId(const QUaNodeId &other)
{
    UA_NodeId_copy(&other.m_nodeId, &m_nodeId);
}

QUaNodeId::QUaNodeId(QUaNodeId &&other) noexcept : m_nodeId(other.m_nodeId)
{
    UA_NodeId_init(&other.m_nodeId);
}

QUaNodeId &QUaNodeId::operator=(const QUaNodeId &other)
{
    if (this != &other) {
        UA_NodeId_clear(&m_nodeId);
        UA_NodeId_copy(&other.m_nodeId, &m_nodeId);
    }
    return *this;
}

QUaNodeId &QUaNodeId::operator=(QUaNodeId &&other) noexcept
{
    std::swap(m_nodeId, other.m_nodeId);
    return *this;
}

QUaNodeId::~QUaNodeId()
{
    UA_NodeId_clear(&m_nodeId);
}

quint32 QUaNodeId::numericId() const
{
    return m_nodeId.identifierType == UA_NODEIDTYPE_NUMERIC ? m_nodeId.identifier.numeric : 0;
}

void QUaNodeId::setNumericId(quint32 numericId)
{
    replaceIdentifier(UA_NODEID_NUMERIC(namespaceIndex(), numericId));
}

QString QUaNodeId::stringId() const
{
    if (m_nodeId.identifierType != UA_NODEIDTYPE_STRING)
        return QString();
    return QUaValueConverter::toQString(m_nodeId.identifier.string);
}

void QUaNodeId::setStringId(const QString &stringId)
{
    UA_NodeId nodeId = emptyIdentifier(namespaceIndex(), UA_NODEIDTYPE_STRING);
    nodeId.identifier.string = QUaValueConverter::toUaString(stringId);
    replaceIdentifier(nodeId);
}

QUuid QUaNodeId::uuId() const
{
    if (m_nodeId.identifierType != UA_NODEIDTYPE_GUID)
        return QUuid();
    return QUaValueConverter::toQUuid(m_nodeId.identifier.guid);
}

void QUaNodeId::setUuId(const QUuid &uuid)
{
    UA_NodeId nodeId = emptyIdentifier(namespaceIndex(), UA_NODEIDTYPE_GUID);
    nodeId.identifier.guid = QUaValueConverter::toUaGuid(uuid);
    replaceIdentifier(nodeId);
}

QByteArray QUaNodeId::byteStringId() const
{
    if (m_nodeId.identifierType != UA_NODEIDTYPE_BYTESTRING)
        return QByteArray();
    return QUaValueConverter::toQByteArray(m_nodeId.identifier.byteString);
}

void QUaNodeId::setByteStringId(const QByteArray &byteStringId)
{
    UA_NodeId nodeId = emptyIdentifier(namespaceIndex(), UA_NODEIDTYPE_BYTESTRING);
    nodeId.identifier.byteString = QUaValueConverter::toUaByteString(byteStringId);
    replaceIdentifier(nodeId);
}

bool QUaNodeId::isNull() const
{
    return UA_NodeId_isNull(&m_nodeId);
}

void QUaNodeId::clear()
{
    if (isNull())
        return;
    UA_NodeId_clear(&m_nodeId);
}

QString QUaNodeId::toString() const
{
    const QString ns = QStringLiteral("ns=%1;").arg(namespaceIndex());
    switch (m_nodeId.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
        return ns + QStringLiteral("i=%1").arg(numericId());
    case UA_NODEIDTYPE_STRING:
        return ns + QStringLiteral("s=") + stringId();
    case UA_NODEIDTYPE_GUID:
        return ns + QStringLiteral("g=") + uuId().toString().mid(1, 36);
    case UA_NODEIDTYPE_BYTESTRING:
        return ns + QStringLiteral("b=") + QString::fromLatin1(byteStringId().toBase64());
    }
    return QString();
}

QUaNodeId::operator UA_NodeId() const
{
    UA_NodeId copy;
    UA_NodeId_copy(&m_nodeId, &copy);
    return copy;
}

bool QUaNodeId::operator==(const QUaNodeId &other) const
{
    return UA_NodeId_order(&m_nodeId, &other.m_nodeId) == UA_ORDER_EQ;
}

bool QUaNodeId::operator<(const QUaNodeId &other) const
{
    if (namespaceIndex() != other.namespaceIndex())
        return namespaceIndex() < other.namespaceIndex();
    if (m_nodeId.identifierType != other.m_nodeId.identifierType)
        return m_nodeId.identifierType < other.m_nodeId.identifierType;
    switch (m_nodeId.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
        return numericId() < other.numericId();
    case UA_NODEIDTYPE_STRING:
        return stringId() < other.stringId();
    case UA_NODEIDTYPE_GUID:
        return uuId() < other.uuId();
    case UA_NODEIDTYPE_BYTESTRING:
        return qstrcmp(byteStringId(), other.byteStringId()) < 0;
    }
    return false;
}

// Frees the current identifier and takes over the given one.
void QUaNodeId::replaceIdentifier(UA_NodeId nodeId)
{
    UA_NodeId_clear(&m_nodeId);
    m_nodeId = nodeId;
}

uint qHash(const QUaNodeId &nodeId, uint seed)
{
    return UA_NodeId_hash(&nodeId.m_nodeId) ^ seed;
}
