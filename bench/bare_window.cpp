// bench_bare_window: the least a Qt Widgets program does to show a window of Velmora's
// size, for comparing start-up times. Exits by itself after a few seconds.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Bare");
    window.menuBar()->addMenu("PROJECT");
    window.resize(810, 610);
    window.show();
    QTimer::singleShot(5000, &app, &QApplication::quit);
    return app.exec();
}
