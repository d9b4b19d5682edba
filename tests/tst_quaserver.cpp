// The server object over a real loopback connection: start and stop, also from
// inside a stack callback, restart with new settings and a busy port; the log
// bridge.

#include <QtTest>

#include "quabasedatavariable.h"
#include "quafolderobject.h"
#include "support/serverfixture.h"

class TestQUaServer : public QObject
{
    Q_OBJECT

private slots:
    void startStopAndPorts()
    {
        const quint16 firstPort = freeLoopbackPort();
        const quint16 secondPort = freeLoopbackPort();
        auto server = newServer();
        server->setPort(firstPort);
        // Writing it stops the server from inside the stack's iteration.
        auto *shutdown =
            server->objectsFolder()->addBaseDataVariable(QUaQualifiedName(1, "Shutdown"));
        shutdown->setWriteAccess(true);
        connect(shutdown, &QUaBaseVariable::valueChanged, server.get(), &QUaServer::stop);
        QSignalSpy running(server.get(), &QUaServer::isRunningChanged);
        server->stop(); // not running: nothing to do
        QVERIFY(server->start());
        QCOMPARE(running.count(), 1);
        // Another server cannot take the busy port, and says why.
        QUaServer second;
        second.setPort(firstPort);
        QVERIFY(!second.start());
        QVERIFY(!second.isRunning());
        QVERIFY(!second.lastError().isEmpty());
        // The port and the login settings take effect at the next start.
        server->setPort(secondPort);
        server->setAnonymousLoginAllowed(false);
        TestClient beforeRestart;
        QCOMPARE(beforeRestart.connect(firstPort), UA_STATUSCODE_GOOD);
        server->stop();
        QVERIFY(!server->isRunning());
        QVERIFY(server->start());
        QCOMPARE(running.count(), 3);
        TestClient onOldPort;
        QVERIFY(onOldPort.connect(firstPort) != UA_STATUSCODE_GOOD);
        TestClient anonymous;
        QVERIFY(anonymous.connect(secondPort) != UA_STATUSCODE_GOOD);
        TestClient client;
        QCOMPARE(client.connectUser(secondPort, kUser, kPassword), UA_STATUSCODE_GOOD);
        // The discovery URLs name the new port.
        UA_EndpointDescription endpoint = client.endpoints(secondPort).value(0);
        QVERIFY(endpoint.server.discoveryUrlsSize > 0);
        for (size_t i = 0; i < endpoint.server.discoveryUrlsSize; ++i) {
            const QString url = QUaValueConverter::toQString(endpoint.server.discoveryUrls[i]);
            QVERIFY2(url.endsWith(QStringLiteral(":%1").arg(secondPort)), qPrintable(url));
        }
        UA_EndpointDescription_clear(&endpoint);
        QSignalSpy disconnected(server.get(), &QUaServer::clientDisconnected);
        QCOMPARE(client.writeValue(shutdown->nodeId(), true), UA_STATUSCODE_GOOD);
        QTRY_VERIFY(!server->isRunning());
        QCOMPARE(disconnected.count(), 1);
    }

    void logBridgeMapsLevelsAndCutsLongMessages()
    {
        auto server = newServer();
        // A user name far beyond the 1024-byte buffer, in two-byte characters,
        // so that a cut in the middle of a character would show.
        const QString longName(900, QChar(0x0416));
        server->addUser(longName, kPassword);
        QSignalSpy logs(server.get(), &QUaServer::logMessage);
        QVERIFY(server->start());
        TestClient client;
        QCOMPARE(client.connectUser(server->port(), longName, kPassword), UA_STATUSCODE_GOOD);
        bool listening = false;
        bool cutUserName = false;
        for (const QList<QVariant> &arguments : logs) {
            const QUaLog log = arguments.at(0).value<QUaLog>();
            QVERIFY(log.message.size() <= 1023);
            QCOMPARE(log.timestamp.timeSpec(), Qt::UTC);
            const QString text = QString::fromUtf8(log.message);
            QCOMPARE(text.toUtf8(), log.message); // never ends inside a UTF-8 sequence
            if (text.contains(QStringLiteral("Listening"))) {
                listening =
                    log.level == QUa::LogLevel::Info && log.category == QUa::LogCategory::Network;
            }
            cutUserName = cutUserName || text.contains(QString(100, QChar(0x0416)));
        }
        QVERIFY(listening);
        QVERIFY(cutUserName);
    }
};

QTEST_GUILESS_MAIN(TestQUaServer)
#include "tst_quaserver.moc"
