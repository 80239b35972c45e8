#include "window/main_window.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QIcon icon; // PNG renderings of data/twinfold.svg: no SVG plugin needed
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/twinfold-%1.png").arg(size));
    QApplication::setWindowIcon(icon);
    MainWindow window;
    window.show();
    return app.exec();
}
