// The yardstick of bench_startup: a bare Qt main window, built as kvtool is (same
// compiler, flags and libraries), shown as soon as it exists.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.setCentralWidget(new QLabel(QStringLiteral("bare window"), &window));
    window.resize(400, 430);
    window.show();
    return app.exec();
}
