// bench_bare_window: the least a Qt Widgets program does to show a window of Velmora's
// size, for comparing start-up times. Exits by itself after a few seconds.
// bench_bare_window --poll SECONDS: the window instead polls as Velmora's main loop does
// (every pending event, then 10 ms of sleep) for SECONDS, the yardstick for its idle CPU.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Bare");
    window.menuBar()->addMenu("PROJECT");
    window.resize(810, 610);
    window.show();
    if (argc == 3 && std::strcmp(argv[1], "--poll") == 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
        for (auto t = std::chrono::steady_clock::now(); t < end;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            t += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(t);
        }
        return 0;
    }
    QTimer::singleShot(5000, &app, &QApplication::quit);
    return app.exec();
}
