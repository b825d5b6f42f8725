// A window for the compositor tests: it shows itself on the Wayland display
// it is given and stays until it is ended, or its display is gone.
#include <QGuiApplication>
#include <QRasterWindow>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QRasterWindow window;
    window.resize(200, 100);
    window.show();
    return app.exec();
}
