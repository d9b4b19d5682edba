#ifndef QUABASEVARIABLE_H
#define QUABASEVARIABLE_H

#include <QDateTime>
#include <QMetaEnum>
#include <QVariant>
#include <QVector>

#include "quanode.h"

// A variable node. The value lives in the stack only; every write of it, by a
// client or by the program, ends in valueChanged(value, networkChange), where
// networkChange tells a client's write (true) from the program's (false).
class QUaBaseVariable : public QUaNode
{
    Q_OBJECT
    Q_PROPERTY(QVariant value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(
        QUaStatusCode statusCode READ statusCode WRITE setStatusCode NOTIFY statusCodeChanged)
    Q_PROPERTY(QDateTime sourceTimestamp READ sourceTimestamp WRITE setSourceTimestamp NOTIFY
                   sourceTimestampChanged)
    Q_PROPERTY(QDateTime serverTimestamp READ serverTimestamp WRITE setServerTimestamp NOTIFY
                   serverTimestampChanged)
    Q_PROPERTY(QUaDataType dataType READ dataType WRITE setDataType)
    Q_PROPERTY(qint32 valueRank READ valueRank WRITE setValueRank NOTIFY valueRankChanged)
    Q_PROPERTY(QVector<quint32> arrayDimensions READ arrayDimensions)
    Q_PROPERTY(quint8 accessLevel READ accessLevel WRITE setAccessLevel)
    Q_PROPERTY(double minimumSamplingInterval READ minimumSamplingInterval WRITE
                   setMinimumSamplingInterval)
    Q_PROPERTY(bool historizing READ historizing)

public:
    explicit QUaBaseVariable(QUaServer *server);

    virtual QVariant value() const;
    // Without an explicit type the value keeps the variable's data type when it
    // converts to it, and brings its own type otherwise.
    virtual void setValue(const QVariant &value,
                          const QUaStatusCode &statusCode = QUa::Status::Good,
                          const QDateTime &sourceTimestamp = QDateTime(),
                          const QDateTime &serverTimestamp = QDateTime(),
                          const QMetaType::Type &newTypeConst = QMetaType::UnknownType);
    virtual QDateTime sourceTimestamp() const;
    virtual void setSourceTimestamp(const QDateTime &sourceTimestamp);
    virtual QDateTime serverTimestamp() const;
    virtual void setServerTimestamp(const QDateTime &serverTimestamp);

    QUaStatusCode statusCode() const;
    void setStatusCode(const QUaStatusCode &statusCode);

    QUaDataType dataType() const { return QUaDataType(m_type); }
    void setDataType(const QUaDataType &dataType);
    void setDataType(const QMetaType::Type &type);
    // The data type becomes a Qt enumeration registered with the server.
    void setDataTypeEnum(const QMetaEnum &metaEnum);
    // False, with nothing changed, when the server has no enumeration of that name.
    bool setDataTypeEnum(const QString &enumName);

    qint32 valueRank() const;
    void setValueRank(const qint32 &valueRank);
    QVector<quint32> arrayDimensions() const;
    quint8 accessLevel() const;
    void setAccessLevel(const quint8 &accessLevel);
    double minimumSamplingInterval() const;
    void setMinimumSamplingInterval(const double &minimumSamplingInterval);
    bool historizing() const;

    bool readAccess() const;
    void setReadAccess(const bool &readAccess);
    bool writeAccess() const;
    void setWriteAccess(const bool &writeAccess);

signals:
    void valueChanged(const QVariant &value, const bool &networkChange);
    void statusCodeChanged(const QUaStatusCode &statusCode, const bool &networkChange);
    void sourceTimestampChanged(const QDateTime &sourceTimestamp, const bool &networkChange);
    void serverTimestampChanged(const QDateTime &serverTimestamp, const bool &networkChange);
    void valueRankChanged(const qint32 &valueRank);

private:
    static void onWrite(UA_Server *server, const UA_NodeId *sessionId, void *sessionContext,
                        const UA_NodeId *nodeId, void *nodeContext, const UA_NumericRange *range,
                        const UA_DataValue *data);
    void emitWritten(const UA_NodeId *sessionId, const UA_DataValue &data);
    void installWriteHook(bool installed);
    void clearValueSilently();

    QMetaType::Type typeOfDataTypeAttribute() const;
    QMetaType::Type typeForValue(QVariant &value) const;
    UA_DataValue readDataValue(UA_TimestampsToReturn timestamps) const;
    bool writeDataValue(const UA_DataValue &dataValue);
    bool writeProgramDataValue(const UA_DataValue &dataValue);
    bool writeProgramValue(const QVariant &value, const QUaStatusCode &statusCode,
                           const QDateTime &sourceTimestamp, const QDateTime &serverTimestamp);
    bool writeDataTypeAttribute(const UA_NodeId &dataTypeId);
    bool writeDataTypeOfQtType(QMetaType::Type type);
    void changeTimestamp(const QDateTime &timestamp, bool isSource);
    void setAccessBit(quint8 bit, bool on);
    void setEnumDataType(const QUaNodeId &enumTypeId);

    QMetaType::Type m_type = QMetaType::UnknownType; // the Qt type of the DataType attribute
    bool m_bInternalWrite = false; // raised only during a program write of the value
};

#endif // QUABASEVARIABLE_H
