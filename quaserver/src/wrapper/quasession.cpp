#include "quasession.h"

QUaSession::QUaSession(QObject *parent)
    : QObject(parent), m_timestamp(QDateTime::currentDateTimeUtc())
{
}
