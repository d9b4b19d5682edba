#include "mainwindow.h"
#include "stopsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    StopSignals::install();
    MainWindow window;
    window.show();
    return application.exec();
}
