#include "quasignaler.h"

QUaSignaler::QUaSignaler(QObject *parent) : QObject(parent) {}

void QUaSignaler::on_sendEvent()
{
    emit sendEvent();
}
