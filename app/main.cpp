// Program entry of zentrova.
#include <QApplication>
#include <QMainWindow>

#include "platform/Instance.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Zentrova KVZ Software");
    setInstance(instanceFromArgs(argc, argv));
    QMainWindow w;
    w.setWindowTitle("ZentrovaKVZ");
    w.show();
    return app.exec();
}
