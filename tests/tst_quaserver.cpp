// The server object over a real loopback connection: start and stop, also from
// inside a stack callback, restart with new settings and a busy port; the log
// bridge; the ids of the children of instances that clients add.

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
        auto server = newServer();
        const quint16 firstPort = server->port();
        const quint16 secondPort = freeLoopbackPort();
        // Writing it stops the server from inside the stack's iteration.
        auto *shutdown =
            server->objectsFolder()->addBaseDataVariable(QUaQualifiedName(1, "Shutdown"));
        shutdown->setWriteAccess(true);
        connect(shutdown, &QUaBaseVariable::valueChanged, server.get(), &QUaServer::stop);
        QSignalSpy running(server.get(), &QUaServer::isRunningChanged);
        server->stop(); // not running: nothing to do
        QVERIFY(server->start());
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

    void logBridgeCutsLongMessages()
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
        bool cutUserName = false;
        for (const QList<QVariant> &arguments : logs) {
            const QUaLog log = arguments.at(0).value<QUaLog>();
            QVERIFY(log.message.size() <= 1023);
            QCOMPARE(log.timestamp.timeSpec(), Qt::UTC);
            const QString text = QString::fromUtf8(log.message);
            QCOMPARE(text.toUtf8(), log.message); // never ends inside a UTF-8 sequence
            cutUserName = cutUserName || text.contains(QString(100, QChar(0x0416)));
        }
        QVERIFY(cutUserName);
    }

    // Computed from the parent's id, or by the application's callback; a free one when that
    // is taken (the search must move on, not go round in circles) or null, with a log line.
    void childrenOfClientInstancesGetFreeIds()
    {
        auto server = newServer();
        server->setNodeManagementAllowed(true);
        QUaNode *objects = server->objectsFolder();
        const quint32 nameHash = qHash(QByteArray("CurrentState"), 0);
        const quint32 takenParent = 7000;
        QVERIFY(objects->addBaseObject(QUaQualifiedName(1, "Occupier"),
                                       QUaNodeId(1, takenParent ^ nameHash)));
        QSignalSpy logs(server.get(), &QUaServer::logMessage);
        QVERIFY(server->start());
        TestClient client;
        QCOMPARE(client.connect(server->port()), UA_STATUSCODE_GOOD);
        const auto addMachine = [&](quint32 id) {
            QCOMPARE(client.addObject(objects->nodeId(), QUaNodeId(1, id),
                                      QUaQualifiedName(1, QString::number(id)),
                                      QUaNodeId(0, UA_NS0ID_STATEMACHINETYPE)),
                     UA_STATUSCODE_GOOD);
        };
        const auto stateOf = [&](quint32 id) {
            return childOf(client, QUaNodeId(1, id), QStringLiteral("CurrentState"));
        };
        addMachine(6000);
        addMachine(takenParent);
        QCOMPARE(stateOf(6000), QUaNodeId(1, 6000u ^ nameHash));
        QVERIFY(!stateOf(takenParent).isNull()); // the stack takes no id in use
        server->setChildNodeIdCallback([](const QUaNodeId &parentId, const QUaQualifiedName &) {
            return parentId == QUaNodeId(1, 6001u)   ? QUaNodeId(1, QStringLiteral("Mine"))
                   : parentId == QUaNodeId(1, 6002u) ? QUaNodeId(0, UA_NS0ID_SERVER)
                                                     : QUaNodeId();
        });
        for (quint32 id : {6001u, 6002u, 6003u})
            addMachine(id);
        QCOMPARE(stateOf(6001), QUaNodeId(1, QStringLiteral("Mine")));
        QStringList errors;
        for (const QList<QVariant> &arguments : logs) {
            const QUaLog log = arguments.at(0).value<QUaLog>();
            if (log.category == QUa::LogCategory::UserLand && log.level == QUa::LogLevel::Error)
                errors << QString::fromUtf8(log.message);
        }
        for (const char *reason : {"6002 is already in use", "6003 is null"})
            QVERIFY(errors.contains(QStringLiteral("Child ns=0;s=CurrentState nodeId for parent "
                                                   "ns=1;i=%1. Assigning random nodeId.")
                                        .arg(reason)));
    }
};

QTEST_GUILESS_MAIN(TestQUaServer)
#include "tst_quaserver.moc"
