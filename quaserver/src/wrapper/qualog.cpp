#include "qualog.h"

QUaLog::QUaLog(const QString &strMessage, QUa::LogLevel logLevel, QUa::LogCategory logCategory)
    : message(strMessage.toUtf8()), level(logLevel), category(logCategory),
      timestamp(QDateTime::currentDateTimeUtc())
{
}
