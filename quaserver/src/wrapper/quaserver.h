#ifndef QUASERVER_H
#define QUASERVER_H

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QMetaEnum>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

#include <open62541/server.h>

#include "quaconnectiontracker.h"
#include "qualog.h"
#include "quanetworkwatcher.h"
#include "quareferencetype.h"
#include "quatypes.h"

class QUaNode;
class QUaBaseVariable;
class QUaFolderObject;
class QUaSession;
class QUaSignaler;

// The OPC UA server of the application: owns the stack's server, keeps the
// settings that go into its configuration at every start, drives it from the
// Qt event loop and gives the address space as a tree of node objects under
// objectsFolder().
class QUaServer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quint16 port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(
        QByteArray certificate READ certificate WRITE setCertificate NOTIFY certificateChanged)
    Q_PROPERTY(quint16 maxSecureChannels READ maxSecureChannels WRITE setMaxSecureChannels NOTIFY
                   maxSecureChannelsChanged)
    Q_PROPERTY(quint16 maxSessions READ maxSessions WRITE setMaxSessions NOTIFY maxSessionsChanged)
    Q_PROPERTY(bool isRunning READ isRunning WRITE setIsRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString applicationName READ applicationName WRITE setApplicationName NOTIFY
                   applicationNameChanged)
    Q_PROPERTY(QString applicationUri READ applicationUri WRITE setApplicationUri NOTIFY
                   applicationUriChanged)
    Q_PROPERTY(QString productName READ productName WRITE setProductName NOTIFY productNameChanged)
    Q_PROPERTY(QString productUri READ productUri WRITE setProductUri NOTIFY productUriChanged)
    Q_PROPERTY(QString manufacturerName READ manufacturerName WRITE setManufacturerName NOTIFY
                   manufacturerNameChanged)
    Q_PROPERTY(QString softwareVersion READ softwareVersion WRITE setSoftwareVersion NOTIFY
                   softwareVersionChanged)
    Q_PROPERTY(QString buildNumber READ buildNumber WRITE setBuildNumber NOTIFY buildNumberChanged)
    Q_PROPERTY(bool anonymousLoginAllowed READ anonymousLoginAllowed WRITE setAnonymousLoginAllowed
                   NOTIFY anonymousLoginAllowedChanged)

    friend class QUaNode;
    friend class QUaBaseVariable;

public:
    using ChildNodeIdCallback =
        std::function<QUaNodeId(const QUaNodeId &parentNodeId, const QUaQualifiedName &browseName)>;
    using UserValidationCallback =
        std::function<bool(const QString &userName, const QString &password)>;

    explicit QUaServer(QObject *parent = nullptr);
    ~QUaServer() override;

    // Applies the settings to the stack and opens the endpoint; true when the
    // server runs afterwards (also when it already ran).
    bool start();
    // Why the last start failed, in English; empty after a start that succeeded.
    QString lastError() const { return m_lastError; }
    // Closes every session and the endpoint; the address space stays.
    void stop();
    bool isRunning() const { return m_running; }
    void setIsRunning(bool running);

    // The settings below reach the stack at the next start.
    quint16 port() const { return m_port; }
    void setPort(quint16 port);
    // The None policy's certificate while no encrypted policy is offered; with
    // one, the application certificate of the PKI folder serves every policy.
    QByteArray certificate() const { return m_certificate; }
    void setCertificate(const QByteArray &byteCertificate);
    quint16 maxSecureChannels() const { return m_maxSecureChannels; }
    void setMaxSecureChannels(quint16 maxSecureChannels);
    quint16 maxSessions() const { return m_maxSessions; }
    void setMaxSessions(quint16 maxSessions);
    bool anonymousLoginAllowed() const { return m_anonymousLoginAllowed; }
    void setAnonymousLoginAllowed(bool anonymousLoginAllowed);

    // The security policies offered at the next start, by name: "None",
    // "Basic256Sha256", "Aes128_Sha256_RsaOaep" and "Aes256_Sha256_RsaPss"
    // (supportedSecurityPolicies()). Each encrypted one brings a Sign and a
    // SignAndEncrypt endpoint, and user names are then taken only encrypted;
    // "None" brings the unsecured endpoint and is the only one that admits
    // anonymous logins. Unknown names and repeats are dropped; without any
    // policy left the server does not start.
    QStringList securityPolicies() const { return m_securityPolicies; }
    void setSecurityPolicies(const QStringList &policies);
    static QStringList supportedSecurityPolicies();
    // With an encrypted policy: own/ holds the application certificate and key
    // (made self-signed at the first start when both are missing), trusted/
    // and issuers/ the client trust list, and rejected/ receives the
    // certificates of refused clients.
    QString pkiFolder() const { return m_pkiFolder; }
    void setPkiFolder(const QString &folder);
    // Accepts every client certificate; off by default.
    bool trustAllClients() const { return m_trustAllClients; }
    void setTrustAllClients(bool trustAll);

    QString applicationName() const;
    void setApplicationName(const QString &strApplicationName);
    QString applicationUri() const;
    void setApplicationUri(const QString &strApplicationUri);
    QString productName() const;
    void setProductName(const QString &strProductName);
    QString productUri() const;
    void setProductUri(const QString &strProductUri);
    QString manufacturerName() const;
    void setManufacturerName(const QString &strManufacturerName);
    QString softwareVersion() const;
    void setSoftwareVersion(const QString &strSoftwareVersion);
    QString buildNumber() const;
    void setBuildNumber(const QString &strBuildNumber);

    // The object bound to the standard Objects folder ns=0;i=85.
    QUaFolderObject *objectsFolder() const { return m_objectsFolder; }
    // The node object bound to the node id, or null.
    QUaNode *nodeById(const QUaNodeId &nodeId) const;

    // Chooses the node ids of children that the stack copies from a type.
    void setChildNodeIdCallback(const ChildNodeIdCallback &callback);

    // The users table for user-name logins; empty user names are ignored.
    void addUser(const QString &userName, const QString &password);
    void removeUser(const QString &userName);
    QStringList userNames() const { return m_hashUsers.keys(); }
    int userCount() const { return m_hashUsers.count(); }
    QString userPassword(const QString &userName) const { return m_hashUsers.value(userName); }
    bool userExists(const QString &userName) const;
    // Decides user-name logins instead of the users table; an empty callback
    // brings the table check back. A name it accepts that the table lacks is
    // added to the table with an empty password.
    void setUserValidationCallback(const UserValidationCallback &callback);

    // Whether clients may add and delete nodes and references (AddNodes,
    // DeleteNodes, AddReferences, DeleteReferences); refused by default, and
    // always for a session whose user is gone. Takes effect at once; the
    // server's own changes of the address space are never refused.
    bool nodeManagementAllowed() const { return m_nodeManagementAllowed; }
    void setNodeManagementAllowed(bool allowed) { m_nodeManagementAllowed = allowed; }

    // Adds a non-hierarchical reference type; true when it is known afterwards.
    bool registerReferenceType(const QUaReferenceType &refType,
                               const QUaNodeId &nodeId = QUaNodeId());

    // Makes a Qt enumeration an OPC UA enumeration data type, by default
    // ns=1;s=<scope>::<name>. Registering a name twice changes nothing.
    void registerEnum(const QMetaEnum &metaEnum, const QUaNodeId &nodeId = QUaNodeId());
    void registerEnum(const QString &enumName, const QUaEnumMap &enumMap,
                      const QUaNodeId &nodeId = QUaNodeId());

    // Makes a node class (a QUaNode subclass with Q_OBJECT and an invokable
    // constructor taking the server) an OPC UA type named after the class,
    // base classes first: a VariableType for variable classes, an ObjectType
    // otherwise. Its enumeration and node-pointer properties become mandatory
    // children of the type, its invokable methods methods of it. A class
    // registers once; a node id already in use refuses the registration.
    void registerType(const QMetaObject &metaObject, const QUaNodeId &nodeId = QUaNodeId());

    // The signaler that announces every new object of the class's type, also
    // for nodes that clients add; made on the first call (registering the
    // class when needed) and owned by the server. Null for a class that cannot
    // be registered.
    QUaSignaler *newInstanceSignaler(const QMetaObject &metaObject);

    // What the server holds for its clients at this moment: session records
    // (those of closed sessions not yet deleted included), the connections the
    // stack has open (its listen sockets among them) and the sockets watched.
    struct ClientRecords {
        int sessions = 0;
        int connections = 0;
        int socketNotifiers = 0;
    };
    ClientRecords clientRecords() const;

    // The server of a stack handle made by this class (the stack callbacks'
    // way back to the object layer).
    static QUaServer *fromStack(UA_Server *server);

signals:
    void isRunningChanged(bool running);
    void portChanged(quint16 port);
    void certificateChanged(const QByteArray &byteCertificate);
    void maxSecureChannelsChanged(quint16 maxSecureChannels);
    void maxSessionsChanged(quint16 maxSessions);
    void applicationNameChanged(const QString &strApplicationName);
    void applicationUriChanged(const QString &strApplicationUri);
    void productNameChanged(const QString &strProductName);
    void productUriChanged(const QString &strProductUri);
    void manufacturerNameChanged(const QString &strManufacturerName);
    void softwareVersionChanged(const QString &strSoftwareVersion);
    void buildNumberChanged(const QString &strBuildNumber);
    void anonymousLoginAllowedChanged(bool anonymousLoginAllowed);
    void logMessage(const QUaLog &log);
    void clientConnected(const QUaSession *session);
    void clientDisconnected(const QUaSession *session);
    // Any variable's value was written, by a client (networkChange) or by the
    // program: one connection serves a whole address space.
    void variableValueChanged(QUaBaseVariable *variable, const QVariant &value, bool networkChange);

private:
    // The stack takes values for a variable of an enumeration data type only
    // when it knows the enumeration as one of its data types.
    struct EnumDataType {
        EnumDataType(const QUaNodeId &typeId, const QString &name, const UA_DataTypeArray *next);
        ~EnumDataType();
        EnumDataType(const EnumDataType &) = delete;
        EnumDataType &operator=(const EnumDataType &) = delete;

        QByteArray name;
        UA_DataType type;
        UA_DataTypeArray array;
    };

    using InstanceConstructor = std::function<UA_StatusCode(const UA_NodeId *, void **)>;

    // The class method that a method node of a type runs.
    struct BoundMethod {
        const QMetaObject *metaObject;
        int methodIndex;
    };

    // Set-up (quaserver.cpp)
    UA_Server *newStackServer();
    void setupServer();
    void readDefaultsFromConfig();
    bool applyConfig();
    void applyNetworkConfig(UA_ServerConfig *config);
    void applyDescriptionConfig(UA_ServerConfig *config);
    void installAccessControl(UA_ServerConfig *config);
    void closeAllSessions();
    void deleteChildren();

    // Encryption (quaserver_security.cpp)
    bool applySecurityConfig(UA_ServerConfig *config);
    bool offersEncryption() const;
    bool readApplicationCertificate(QByteArray *certificate, QByteArray *privateKey);
    bool createApplicationCertificate(const QString &certificatePath, const QString &keyPath);
    bool replaceSecurityPolicies(UA_ServerConfig *config, const QByteArray &certificate,
                                 const QByteArray &privateKey);
    void installClientTrust(UA_ServerConfig *config);
    bool isAnonymousLoginOffered() const;
    const UA_String *userTokenPolicyUri() const;
    bool isLoginSecure(const UA_EndpointDescription *endpoint,
                       const UA_ExtensionObject &token) const;

    // Running the stack from the Qt event loop (quaserver.cpp)
    void iterateServer();
    void onNetworkActivity();

    // Logger bridge (quaserver.cpp)
    static void logFromStack(void *context, UA_LogLevel level, UA_LogCategory category,
                             const char *format, va_list args);
    void emitStackLog(UA_LogLevel level, UA_LogCategory category, const char *format, va_list args);

    // Node objects (quaserver_types.cpp)
    bool isNodeObject(const void *nodeContext) const;
    QUaNode *nodeFromContext(void *nodeContext) const;
    QUaNode *nodeObjectOf(const UA_NodeId &nodeId) const;
    void registerBuiltInType(const QMetaObject &metaObject, const UA_NodeId &typeNodeId,
                             bool withLifeCycle);
    void registerTypeLifeCycle(const UA_NodeId &typeNodeId, const QMetaObject &metaObject);
    void recordMandatoryChildren(const QUaNodeId &typeNodeId);
    QSet<QUaQualifiedName> mandatoryChildren(const QUaNodeId &typeNodeId) const;
    QUaNodeId typeIdOfClass(const QMetaObject &metaObject) const;
    QUaNodeId modellingRule(const QUaNodeId &nodeId) const;
    QUaNodeId addTypeNode(const QMetaObject &metaObject, const QUaNodeId &nodeId);
    QUaNodeId enumDataTypeId(const QMetaEnum &metaEnum);
    void addPropertyChildren(const QMetaObject &metaObject, const UA_NodeId &typeNodeId);
    void addMandatoryChild(const UA_NodeId &typeNodeId, const QString &name,
                           const QMetaObject &childClass, const QUaNodeId &dataTypeId);
    void announceNewInstance(const QUaNodeId &typeNodeId, void *nodeContext);
    UA_StatusCode constructInstance(const QMetaObject &metaObject, const UA_NodeId *nodeId,
                                    void **nodeContext);
    QUaNode *newNodeObject(const QMetaObject &metaObject, const UA_NodeId *nodeId);
    QUaNodeId createInstance(const QMetaObject &metaObject, QUaNode *parent,
                             const QUaQualifiedName &browseName, const QUaNodeId &nodeId);
    QUaNodeId referenceTypeForChild(const QUaNode *parent,
                                    const QMetaObject &childMetaObject) const;
    void setCurrentSession(const UA_NodeId *sessionId);
    bool isKnownReferenceType(const QUaReferenceType &refType) const;
    QUaNodeId referenceTypeId(const QUaReferenceType &refType) const;
    bool isHierarchicalReferenceType(const QUaReferenceType &refType) const;
    QUaNodeId enumNodeId(const QString &enumName) const { return m_hashEnums.value(enumName); }
    bool isEnumDataType(const QUaNodeId &dataTypeId) const;
    void addEnumValues(const UA_NodeId &dataTypeId, const QUaEnumMap &enumMap);
    void addEnumDataType(const QUaNodeId &dataTypeId, const QString &enumName);
    UA_StatusCode generateChildNodeId(const UA_NodeId *sourceNodeId,
                                      const UA_NodeId *targetParentNodeId, UA_NodeId *targetNodeId);
    quint32 computedChildNumericId(const UA_NodeId &parentNodeId,
                                   const UA_QualifiedName &browseName) const;

    static UA_StatusCode typeConstructor(UA_Server *server, const UA_NodeId *sessionId,
                                         void *sessionContext, const UA_NodeId *typeNodeId,
                                         void *typeNodeContext, const UA_NodeId *nodeId,
                                         void **nodeContext);
    static void typeDestructor(UA_Server *server, const UA_NodeId *sessionId, void *sessionContext,
                               const UA_NodeId *typeNodeId, void *typeNodeContext,
                               const UA_NodeId *nodeId, void **nodeContext);
    static UA_StatusCode childNodeIdFromStack(UA_Server *server, const UA_NodeId *sessionId,
                                              void *sessionContext, const UA_NodeId *sourceNodeId,
                                              const UA_NodeId *targetParentNodeId,
                                              const UA_NodeId *referenceTypeId,
                                              UA_NodeId *targetNodeId);

    // Methods of node classes (quaserver_methods.cpp)
    void addMetaMethods(const QMetaObject &metaObject);
    void addMethodNode(const UA_NodeId &typeNodeId, const QMetaMethod &method);
    UA_Argument methodArgument(int qtType, const QMetaEnum &metaEnum, const QByteArray &name,
                               const QString &description);
    void bindTypeMethods(const QMetaObject &metaObject, const UA_NodeId &typeNodeId);
    void bindMethod(const QMetaObject &metaObject, const UA_NodeId &methodNodeId, int methodIndex);
    static UA_StatusCode methodCallback(UA_Server *server, const UA_NodeId *sessionId,
                                        void *sessionContext, const UA_NodeId *methodId,
                                        void *methodContext, const UA_NodeId *objectId,
                                        void *objectContext, size_t inputSize,
                                        const UA_Variant *input, size_t outputSize,
                                        UA_Variant *output);

    // Access control (quaserver_accesscontrol.cpp)
    static UA_StatusCode activateSession(UA_Server *server, UA_AccessControl *ac,
                                         const UA_EndpointDescription *endpointDescription,
                                         const UA_ByteString *secureChannelRemoteCertificate,
                                         const UA_NodeId *sessionId,
                                         const UA_ExtensionObject *userIdentityToken,
                                         void **sessionContext);
    static void closeSession(UA_Server *server, UA_AccessControl *ac, const UA_NodeId *sessionId,
                             void *sessionContext);
    static UA_UInt32 getUserRightsMask(UA_Server *server, UA_AccessControl *ac,
                                       const UA_NodeId *sessionId, void *sessionContext,
                                       const UA_NodeId *nodeId, void *nodeContext);
    static UA_Byte getUserAccessLevel(UA_Server *server, UA_AccessControl *ac,
                                      const UA_NodeId *sessionId, void *sessionContext,
                                      const UA_NodeId *nodeId, void *nodeContext);
    static UA_Boolean getUserExecutable(UA_Server *server, UA_AccessControl *ac,
                                        const UA_NodeId *sessionId, void *sessionContext,
                                        const UA_NodeId *methodId, void *methodContext);
    static UA_Boolean getUserExecutableOnObject(UA_Server *server, UA_AccessControl *ac,
                                                const UA_NodeId *sessionId, void *sessionContext,
                                                const UA_NodeId *methodId, void *methodContext,
                                                const UA_NodeId *objectId, void *objectContext);
    static void installNodeManagementChecks(UA_AccessControl &accessControl);
    // One check for the four node management services, whatever their item.
    template <typename Item>
    static UA_Boolean allowNodeManagement(UA_Server *server, UA_AccessControl *ac,
                                          const UA_NodeId *sessionId, void *sessionContext,
                                          const Item *item);
    UA_StatusCode activateSessionToken(const UA_NodeId &sessionId, const UA_ExtensionObject &token);
    UA_StatusCode checkUserNameLogin(const UA_UserNameIdentityToken &login, QString *userName);
    bool isValidLogin(const QString &userName, const QString &password) const;
    bool isLoginPaused(const QString &address) const;
    void noteFailedLogin(const QString &address);
    QUaSession *sessionFor(const UA_NodeId &sessionId);
    void fillSession(QUaSession *session, const UA_NodeId &sessionId);
    QString sessionUserName(const UA_NodeId *sessionId) const;
    bool isValidUser(const UA_NodeId *sessionId) const;

    // The stack
    UA_Logger m_logger; // the configuration's logger points here
    UA_Server *m_server = nullptr;
    QTimer m_iterationTimer;
    // In the stack's call chain until the stack server is deleted: as a member
    // it outlives the destructor's body, which deletes m_server.
    QUaConnectionTracker m_connectionTracker;
    QUaNetworkWatcher m_networkWatcher{m_connectionTracker};
    bool m_running = false;
    bool m_iterating = false;
    QString m_lastError;

    // Settings
    quint16 m_port = 4840;
    quint16 m_maxSecureChannels = 0;
    quint16 m_maxSessions = 0;
    QByteArray m_certificate;
    QByteArray m_certificateInUse; // the bytes the stack's security policies were made with
    bool m_anonymousLoginAllowed = true;
    bool m_anonymousLoginAllowedInUse = true; // as applied at the last start
    QStringList m_securityPolicies{QStringLiteral("None")};
    QStringList m_securityPoliciesInUse{QStringLiteral("None")}; // the stack's policies
    QString m_pkiFolder;
    bool m_trustAllClients = false;
    QByteArray m_applicationName;
    QByteArray m_applicationUri;
    QByteArray m_productName;
    QByteArray m_productUri;
    QByteArray m_manufacturerName;
    QByteArray m_softwareVersion;
    QByteArray m_buildNumber;
    QByteArray m_logBuffer;

    // Users and sessions
    QHash<QString, QString> m_hashUsers;
    // Wrong passwords by client address, to slow down guessing.
    struct FailedLogins {
        int count = 0;
        qint64 pausedUntilMs = 0;
    };
    QHash<QString, FailedLogins> m_failedLogins;
    QHash<QUaNodeId, QUaSession *> m_hashSessions;
    QUaSession *m_currentSession = nullptr;          // the session whose request is being served
    UserValidationCallback m_userValidationCallback; // empty: the users table decides
    bool m_nodeManagementAllowed = false;

    // Address space
    QUaFolderObject *m_objectsFolder = nullptr;
    QSet<const QUaNode *> m_nodeObjects; // every live node object of this server
    QMap<QString, QUaNodeId> m_mapTypes; // class name to type node id
    QHash<QUaNodeId, InstanceConstructor> m_hashConstructors;
    QHash<QUaNodeId, BoundMethod> m_hashMethods;             // by method node id
    QHash<QUaNodeId, QPointer<QUaSignaler>> m_hashSignalers; // by type node id
    QHash<QUaNodeId, QSet<QUaQualifiedName>> m_hashMandatoryChildren;
    QMap<QString, QUaNodeId> m_hashEnums;
    std::vector<std::unique_ptr<EnumDataType>> m_enumDataTypes; // listed in the configuration
    QHash<QUaReferenceType, QUaNodeId> m_hashHierarchicalRefs;  // the four built-in ones
    QHash<QUaReferenceType, QUaNodeId> m_hashRefTypes;          // every known one
    ChildNodeIdCallback m_childNodeIdCallback;

    // Read by the QUaNode constructor: the node being bound and its class.
    const UA_NodeId *m_newNodeNodeId = nullptr;
    const QMetaObject *m_newNodeMetaObject = nullptr;
};

#endif // QUASERVER_H
