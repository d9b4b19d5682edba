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

// The type of a parameter or of the result of a class method. An enumeration
// travels as Int32 and is known by its QMetaEnum, since moc leaves the meta
// type of a class's own enumeration unresolved in method signatures.
struct ValueType {
    int qtType;
    QMetaEnum metaEnum;

    bool isEnum() const { return metaEnum.isValid(); }
    bool isKnown() const { return isEnum() || qtType != QMetaType::UnknownType; }
};

// The enumeration of the class (or a base class) that a type name in a
// method signature names, with or without its scope.
QMetaEnum enumerationNamed(const QMetaObject &metaObject, const QByteArray &typeName)
{
    const int split = typeName.lastIndexOf("::");
    const QByteArray scope = split < 0 ? QByteArray() : typeName.left(split);
    const QByteArray name = split < 0 ? typeName : typeName.mid(split + 2);
    const QMetaEnum metaEnum =
        metaObject.enumerator(metaObject.indexOfEnumerator(name.constData()));
    return metaEnum.isValid() && (scope.isEmpty() || scope == metaEnum.scope()) ? metaEnum
                                                                                : QMetaEnum();
}

// The enumeration behind a registered enum meta-type from any scope.
QMetaEnum enumerationOfType(int qtType)
{
    const QMetaObject *scope = QMetaType::metaObjectForType(qtType);
    return scope ? enumerationNamed(*scope, QMetaType::typeName(qtType)) : QMetaEnum();
}

ValueType valueTypeOf(const QMetaMethod &method, int qtType, const QByteArray &typeName)
{
    if (QMetaType::typeFlags(qtType).testFlag(QMetaType::IsEnumeration)) {
        return {qtType, enumerationOfType(qtType)};
    }
    if (qtType == QMetaType::UnknownType) {
        return {qtType, enumerationNamed(*method.enclosingMetaObject(), typeName)};
    }
    return {qtType, QMetaEnum()};
}

ValueType parameterTypeOf(const QMetaMethod &method, int index)
{
    return valueTypeOf(method, method.parameterType(index), method.parameterTypes().at(index));
}

ValueType returnTypeOf(const QMetaMethod &method)
{
    return valueTypeOf(method, method.returnType(), method.typeName());
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

// A method can be called when Qt can pass all its arguments.
bool isCallable(const QMetaMethod &method)
{
    if (method.parameterCount() > kMaxMethodArguments || !returnTypeOf(method).isKnown()) {
        return false;
    }
    for (int i = 0; i < method.parameterCount(); ++i) {
        if (!parameterTypeOf(method, i).isKnown()) {
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

// The storage QMetaMethod::invoke reads an argument from or writes the result
// to: a QVariant parameter is the variant itself, an enumeration a 64-bit
// integer (large enough for any enumeration's underlying type), any other
// type the variant's content.
QVariant emptyStorage(const ValueType &type)
{
    if (type.isEnum()) {
        return QVariant(qlonglong(0));
    }
    return type.qtType == QMetaType::QVariant ? QVariant() : QVariant(type.qtType, nullptr);
}

void *storageOf(QVariant &value, const ValueType &type)
{
    return type.qtType == QMetaType::QVariant ? &value : value.data();
}

// The client's value as the storage of the parameter type; invalid when it
// does not convert.
QVariant parameterValue(const UA_Variant &input, const ValueType &type)
{
    const QUaArrayKind arrayKind =
        QByteArray(QMetaType::typeName(type.qtType)).startsWith("QVector<") ? QUaArrayKind::Vector
                                                                            : QUaArrayKind::List;
    // The stack hands an argument of an enumeration data type over typed as
    // that enumeration; its values are Int32 all the same.
    UA_Variant asStored = input; // shallow: never cleared
    if (input.type && input.type->typeKind == UA_DATATYPEKIND_ENUM) {
        asStored.type = &UA_TYPES[UA_TYPES_INT32];
    }
    QVariant value = QUaValueConverter::toQVariant(asStored, arrayKind);
    if (type.isEnum()) {
        bool isNumber = false;
        const qlonglong number = value.toLongLong(&isNumber);
        return isNumber ? QVariant(number) : QVariant();
    }
    if (type.qtType == QMetaType::QVariant || value.userType() == type.qtType) {
        return value;
    }
    QVariant converted = value;
    if (converted.convert(type.qtType)) {
        return converted;
    }
    // Arrays arrive as typed lists, which Qt converts to other sequences only
    // through a list of variants.
    if (!value.canConvert<QVariantList>()) {
        return QVariant();
    }
    QVariant elements(value.value<QVariantList>());
    return elements.convert(type.qtType) ? elements : QVariant();
}

// The method's result as the stack takes it. An enumeration narrower than its
// storage left the upper bytes zero; it goes out as Int32.
UA_Variant resultVariant(const QVariant &result, const ValueType &type)
{
    if (type.isEnum()) {
        return QUaValueConverter::toUaVariant(qint32(result.toLongLong()));
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
    const QList<QByteArray> parameterTypeNames = method.parameterTypes();
    std::array<QVariant, kMaxMethodArguments> values;
    std::array<QGenericArgument, kMaxMethodArguments> arguments;
    for (int i = 0; i < parameterCount; ++i) {
        const ValueType type = parameterTypeOf(method, i);
        values[i] = parameterValue(input[i], type);
        if (!values[i].isValid() && type.qtType != QMetaType::QVariant) {
            return UA_STATUSCODE_BADTYPEMISMATCH;
        }
        arguments[i] =
            QGenericArgument(parameterTypeNames.at(i).constData(), storageOf(values[i], type));
    }
    const ValueType resultType = returnTypeOf(method);
    const bool hasResult = resultType.qtType != QMetaType::Void;
    QVariant result = hasResult ? emptyStorage(resultType) : QVariant();
    const QGenericReturnArgument returnArgument =
        hasResult ? QGenericReturnArgument(method.typeName(), storageOf(result, resultType))
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
        output[0] = resultVariant(result, resultType);
    }
    return UA_STATUSCODE_GOOD;
}

} // namespace

void QUaServer::addMetaMethods(const QMetaObject &metaObject)
{
    const QUaStack::ScopedNodeId typeNodeId(typeIdOfClass(metaObject));
    const QHash<QString, int> methods = invokableMethodsOf(metaObject);
    for (const int methodIndex : methods) {
        addMethodNode(typeNodeId, metaObject.method(methodIndex));
    }
}

void QUaServer::addMethodNode(const UA_NodeId &typeNodeId, const QMetaMethod &method)
{
    const QList<QByteArray> parameterNames = method.parameterNames();
    std::vector<UA_Argument> inputs;
    for (int i = 0; i < method.parameterCount(); ++i) {
        const ValueType type = parameterTypeOf(method, i);
        inputs.push_back(methodArgument(type.qtType, type.metaEnum, parameterNames.at(i),
                                        QStringLiteral("Method Argument")));
    }
    std::vector<UA_Argument> outputs;
    const ValueType resultType = returnTypeOf(method);
    if (resultType.qtType != QMetaType::Void) {
        outputs.push_back(methodArgument(resultType.qtType, resultType.metaEnum, "Result",
                                         QStringLiteral("Result Value")));
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

// The data type of an argument: an enumeration's registered data type, the
// mapped type of a value, a sequence as a one-dimensional array of its
// element type, anything else as BaseDataType of any rank.
UA_Argument QUaServer::methodArgument(int qtType, const QMetaEnum &metaEnum, const QByteArray &name,
                                      const QString &description)
{
    UA_Argument argument;
    UA_Argument_init(&argument);
    argument.name = UA_String_fromChars(name.constData());
    argument.description = QUaLocalizedText(QString(), description);
    argument.valueRank = UA_VALUERANK_SCALAR;
    if (metaEnum.isValid()) {
        argument.dataType = enumDataTypeId(metaEnum);
        return argument;
    }
    const int elementType = elementTypeOf(qtType);
    if (elementType != QMetaType::UnknownType) {
        qtType = elementType;
        argument.valueRank = UA_VALUERANK_ONE_DIMENSION;
    }
    if (qtType != QMetaType::QVariant &&
        QUaValueConverter::isSupportedQtType(QMetaType::Type(qtType))) {
        argument.dataType = QUaValueConverter::uaNodeIdFromQtType(QMetaType::Type(qtType));
    } else {
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
        const int methodIndex = methods.value(child.browseName.name(), -1);
        if (methodIndex < 0) {
            qDebug() << "Error Registering" << child.browseName.toString() << "for"
                     << QString::fromLatin1(metaObject.className());
            continue;
        }
        bindMethod(metaObject, QUaStack::ScopedNodeId(child.targetId), methodIndex);
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
