#ifndef QUALOG_H
#define QUALOG_H

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include "quaenums.h"

// One log record of the OPC UA stack, as the server hands it to the application.
struct QUaLog {
    QUaLog() = default;
    QUaLog(const QString &strMessage, QUa::LogLevel logLevel, QUa::LogCategory logCategory);

    QByteArray message; // UTF-8
    QUa::LogLevel level = QUa::LogLevel::Info;
    QUa::LogCategory category = QUa::LogCategory::Server;
    QDateTime timestamp; // UTC, when the record was made
};

Q_DECLARE_METATYPE(QUaLog)

#endif // QUALOG_H
