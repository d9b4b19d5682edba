// The methods of node classes: one method node per invokable method on the
// class's type node, and the stack's method callback that runs the class
// method on the object a client calls it on.

#include "quaserver.h"

#include "quanode.h"
#include "quastack.h"

#include <QDebug>
#include <QMetaMethod>

#include <array>
#include <vector>

namespace
{

// QMetaMethod::invoke passes at most ten arguments.
constexpr int kMaxMethodArguments = 10;

bool isEnumType(int qtType)
{
    return QMetaType::typeFlags(qtType).testFlag(QMetaType::IsEnumeration);
}

// The Qt enumeration behind an enum meta-type (declared with Q_ENUM or
// Q_ENUM_NS); invalid for others.
QMetaEnum metaEnumOfType(int qtType)
{
    const QMetaObject *scope = QMetaType::metaObjectForType(qtType);
    if (!scope) {
        return QMetaEnum();
    }
    const QByteArray typeName = QMetaType::typeName(qtType);
    const QByteArray enumName = typeName.mid(typeName.lastIndexOf(':') + 1);
    return scope->enumerator(scope->indexOfEnumerator(enumName.constData()));
}

// The element type of a Qt sequence type, or UnknownType for any other type.
int elementTypeOf(int qtType)
{
    switch (qtType) {
    case QMetaType::QStringList:
        return QMetaType::QString;
    case QMetaType::QVariantList:
        return QMetaType::QVariant;
    case QMetaType::QByteArrayList:
        return QMetaType::QByteArray;
    default:
        break;
    }
    const QByteArray typeName = QMetaType::typeName(qtType);
    for (const char *container : {"QList<", "QVector<"}) {
        if (typeName.startsWith(container) && typeName.endsWith('>')) {
            const int start = int(qstrlen(container));
            return QMetaType::type(typeName.mid(start, typeName.size() - start - 1).trimmed());
        }
    }
    return QMetaType::UnknownType;
}

// Only methods whose every type Qt can construct can be called.
bool isCallable(const QMetaMethod &method)
{
    if (method.parameterCount() > kMaxMethodArguments ||
        method.returnType() == QMetaType::UnknownType) {
        return false;
    }
    for (int i = 0; i < method.parameterCount(); ++i) {
        if (method.parameterType(i) == QMetaType::UnknownType) {
            return false;
        }
    }
    return true;
}

// The invokable methods that become method nodes, by name; of several with
// one name (overloads, and the copies moc makes for default arguments) the
// first declared wins.
QHash<QString, int> invokableMethodsOf(const QMetaObject &metaObject)
{
    QHash<QString, int> methods;
    for (int i = metaObject.methodOffset(); i < metaObject.methodCount(); ++i) {
        const QMetaMethod method = metaObject.method(i);
        const QString name = QString::fromLatin1(method.name());
        if (method.methodType() == QMetaMethod::Method && isCallable(method) &&
            !methods.contains(name)) {
            methods.insert(name, i);
        }
    }
    return methods;
}

// Where QMetaMethod::invoke finds a value: a QVariant parameter is the
// variant itself, any other the variant's content.
void *storageOf(QVariant &value, int qtType)
{
    return qtType == QMetaType::QVariant ? &value : value.data();
}

// The client's value as the parameter's Qt type; invalid when it does not
// convert.
QVariant parameterValue(const UA_Variant &input, int qtType)
{
    const QByteArray typeName = QMetaType::typeName(qtType);
    const QUaArrayKind arrayKind =
        typeName.startsWith("QVector<") ? QUaArrayKind::Vector : QUaArrayKind::List;
    QVariant value = QUaValueConverter::toQVariant(input, arrayKind);
    if (qtType == QMetaType::QVariant || value.userType() == qtType) {
        return value;
    }
    QVariant converted = value;
    if (converted.convert(qtType)) {
        return converted;
    }
    // Arrays arrive as typed lists, which Qt converts to other sequences only
    // through a list of variants.
    return value.convert(QMetaType::QVariantList) && value.convert(qtType) ? value : QVariant();
}

// The method's result as the stack takes it; enumerations travel as Int32.
UA_Variant resultVariant(QVariant result)
{
    if (isEnumType(result.userType())) {
        result.convert(QMetaType::Int);
    }
    return QUaValueConverter::toUaVariant(result);
}

// Failures come back to the client as the call's status: an argument that does
// not convert to its parameter type as BadTypeMismatch, a method that cannot
// be invoked or that throws as BadInternalError.
UA_StatusCode invokeMethod(const QMetaMethod &method, QObject *object, size_t inputSize,
                           const UA_Variant *input, size_t outputSize, UA_Variant *output)
{
    const int parameterCount = method.parameterCount();
    if (inputSize != size_t(parameterCount)) {
        return inputSize < size_t(parameterCount) ? UA_STATUSCODE_BADARGUMENTSMISSING
                                                  : UA_STATUSCODE_BADTOOMANYARGUMENTS;
    }
    const QList<QByteArray> parameterTypes = method.parameterTypes();
    std::array<QVariant, kMaxMethodArguments> values;
    std::array<QGenericArgument, kMaxMethodArguments> arguments;
    for (int i = 0; i < parameterCount; ++i) {
        const int qtType = method.parameterType(i);
        values[i] = parameterValue(input[i], qtType);
        if (!values[i].isValid() && qtType != QMetaType::QVariant) {
            return UA_STATUSCODE_BADTYPEMISMATCH;
        }
        arguments[i] =
            QGenericArgument(parameterTypes.at(i).constData(), storageOf(values[i], qtType));
    }
    const int returnType = method.returnType();
    const bool hasResult = returnType != QMetaType::Void;
    QVariant result =
        hasResult && returnType != QMetaType::QVariant ? QVariant(returnType, nullptr) : QVariant();
    const QGenericReturnArgument returnArgument =
        hasResult ? QGenericReturnArgument(method.typeName(), storageOf(result, returnType))
                  : QGenericReturnArgument();
    bool invoked = false;
    try {
        invoked =
            method.invoke(object, Qt::DirectConnection, returnArgument, arguments[0], arguments[1],
                          arguments[2], arguments[3], arguments[4], arguments[5], arguments[6],
                          arguments[7], arguments[8], arguments[9]);
    } catch (...) {
        // Nothing may unwind through the stack's C frames.
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    if (!invoked) {
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    if (hasResult && outputSize > 0) {
        output[0] = resultVariant(result);
    }
    return UA_STATUSCODE_GOOD;
}

} // namespace

void QUaServer::addMetaMethods(const QMetaObject &metaObject)
{
    const QUaStack::ScopedNodeId typeNodeId(typeIdOfClass(metaObject));
    const QHash<QString, int> methods = invokableMethodsOf(metaObject);
    for (auto entry = methods.cbegin(); entry != methods.cend(); ++entry) {
        addMethodNode(typeNodeId, metaObject.method(entry.value()));
    }
}

void QUaServer::addMethodNode(const UA_NodeId &typeNodeId, const QMetaMethod &method)
{
    const QList<QByteArray> parameterNames = method.parameterNames();
    std::vector<UA_Argument> inputs;
    for (int i = 0; i < method.parameterCount(); ++i) {
        inputs.push_back(methodArgument(method.parameterType(i), parameterNames.at(i),
                                        QStringLiteral("Method Argument")));
    }
    std::vector<UA_Argument> outputs;
    if (method.returnType() != QMetaType::Void) {
        outputs.push_back(
            methodArgument(method.returnType(), "Result", QStringLiteral("Result Value")));
    }
    const QString name = QString::fromLatin1(method.name());
    UA_MethodAttributes attributes;
    UA_MethodAttributes_init(&attributes);
    attributes.displayName = QUaLocalizedText(QString(), name);
    attributes.executable = true;
    attributes.userExecutable = true;
    UA_QualifiedName browseName = QUaQualifiedName(0, name);
    UA_NodeId methodNodeId = UA_NODEID_NULL;
    if (UA_Server_addMethodNode(m_server, UA_NODEID_NUMERIC(1, 0), typeNodeId,
                                UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT), browseName, attributes,
                                &QUaServer::methodCallback, inputs.size(), inputs.data(),
                                outputs.size(), outputs.data(), this,
                                &methodNodeId) == UA_STATUSCODE_GOOD) {
        UA_Server_addReference(
            m_server, methodNodeId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASMODELLINGRULE),
            UA_EXPANDEDNODEID_NUMERIC(0, UA_NS0ID_MODELLINGRULE_MANDATORY), true);
    }
    UA_NodeId_clear(&methodNodeId);
    UA_QualifiedName_clear(&browseName);
    UA_MethodAttributes_clear(&attributes);
    for (UA_Argument &argument : inputs) {
        UA_Argument_clear(&argument);
    }
    for (UA_Argument &argument : outputs) {
        UA_Argument_clear(&argument);
    }
}

// The data type of an argument from its Qt type: enumerations by their
// registered data type, sequences as one-dimensional arrays of their element
// type, anything unknown as BaseDataType of any rank.
UA_Argument QUaServer::methodArgument(int qtType, const QByteArray &name,
                                      const QString &description)
{
    UA_Argument argument;
    UA_Argument_init(&argument);
    argument.name = UA_String_fromChars(name.constData());
    argument.description = QUaLocalizedText(QString(), description);
    argument.valueRank = UA_VALUERANK_SCALAR;
    const int elementType = elementTypeOf(qtType);
    if (elementType != QMetaType::UnknownType) {
        qtType = elementType;
        argument.valueRank = UA_VALUERANK_ONE_DIMENSION;
    }
    if (isEnumType(qtType)) {
        argument.dataType = enumDataTypeId(metaEnumOfType(qtType));
    } else if (qtType != QMetaType::QVariant &&
               QUaValueConverter::isSupportedQtType(QMetaType::Type(qtType))) {
        argument.dataType = QUaValueConverter::uaNodeIdFromQtType(QMetaType::Type(qtType));
    }
    if (UA_NodeId_isNull(&argument.dataType)) {
        argument.dataType = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATATYPE);
        if (argument.valueRank == UA_VALUERANK_SCALAR) {
            argument.valueRank = UA_VALUERANK_ANY;
        }
    }
    return argument;
}

// The type's method children, Mandatory or Optional, each bound by name to
// the class method it stands for.
void QUaServer::bindTypeMethods(const QMetaObject &metaObject, const UA_NodeId &typeNodeId)
{
    const QHash<QString, int> methods = invokableMethodsOf(metaObject);
    const QList<QUaStack::Reference> children =
        QUaStack::browse(m_server, typeNodeId, UA_BROWSEDIRECTION_FORWARD,
                         UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT), true, UA_NODECLASS_METHOD);
    for (const QUaStack::Reference &child : children) {
        if (modellingRule(child.targetId).isNull()) {
            continue;
        }
        const QUaStack::ScopedNodeId methodNodeId(child.targetId);
        const int methodIndex = methods.value(child.browseName.name(), -1);
        if (methodIndex < 0) {
            qDebug() << "Error Registering" << child.browseName.toString() << "for"
                     << QString::fromLatin1(metaObject.className());
            continue;
        }
        bindMethod(metaObject, methodNodeId, methodIndex);
    }
}

void QUaServer::bindMethod(const QMetaObject &metaObject, const UA_NodeId &methodNodeId,
                           int methodIndex)
{
    UA_Server_setMethodNodeCallback(m_server, methodNodeId, &QUaServer::methodCallback);
    UA_Server_setNodeContext(m_server, methodNodeId, this);
    m_hashMethods.insert(QUaNodeId(methodNodeId), {&metaObject, methodIndex});
}

UA_StatusCode QUaServer::methodCallback(UA_Server *server, const UA_NodeId *sessionId, void *,
                                        const UA_NodeId *methodId, void *methodContext,
                                        const UA_NodeId *, void *objectContext, size_t inputSize,
                                        const UA_Variant *input, size_t outputSize,
                                        UA_Variant *output)
{
    QUaServer *self = fromStack(server);
    if (!self || methodContext != self) {
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    self->setCurrentSession(sessionId);
    const auto bound = self->m_hashMethods.constFind(QUaNodeId(*methodId));
    QUaNode *object = self->nodeFromContext(objectContext);
    // A method runs only on an object of its class: the stack lets a client
    // call it on any object that references the method node.
    if (bound == self->m_hashMethods.cend() || !object ||
        !object->metaObject()->inherits(bound->metaObject)) {
        return UA_STATUSCODE_BADMETHODINVALID;
    }
    return invokeMethod(bound->metaObject->method(bound->methodIndex), object, inputSize, input,
                        outputSize, output);
}
