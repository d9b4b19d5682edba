#ifndef QUASESSION_H
#define QUASESSION_H

#include <QDateTime>
#include <QObject>
#include <QString>

class QUaServer;

// The record of one open client session. The server creates it when the
// session is activated, fills it and deletes it when the session closes.
class QUaSession : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString sessionId READ sessionId)
    Q_PROPERTY(QString userName READ userName)
    Q_PROPERTY(QString applicationName READ applicationName)
    Q_PROPERTY(QString applicationUri READ applicationUri)
    Q_PROPERTY(QString productUri READ productUri)
    Q_PROPERTY(QString address READ address)
    Q_PROPERTY(quint16 port READ port)
    Q_PROPERTY(QDateTime timestamp READ timestamp)

    friend class QUaServer;

public:
    explicit QUaSession(QObject *parent = nullptr);

    QString sessionId() const { return m_sessionId; }
    QString userName() const { return m_userName; }
    QString applicationName() const { return m_applicationName; }
    QString applicationUri() const { return m_applicationUri; }
    QString productUri() const { return m_productUri; }
    QString address() const { return m_address; }
    quint16 port() const { return m_port; }
    QDateTime timestamp() const { return m_timestamp; }

private:
    QString m_sessionId;
    QString m_userName;
    QString m_applicationName;
    QString m_applicationUri;
    QString m_productUri;
    QString m_address;
    quint16 m_port = 0;
    QDateTime m_timestamp;
};

// The server's connect and disconnect signals carry the record by this type.
Q_DECLARE_METATYPE(const QUaSession *)

#endif // QUASESSION_H
