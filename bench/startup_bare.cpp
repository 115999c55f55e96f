// The yardstick of startup_bench: a bare Qt main window with relvix's client area
// (680 x 609) and nothing in it, built with the same Qt and the same options.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    auto *client = new QWidget(&window);
    client->setFixedSize(680, 609);
    window.setCentralWidget(client);
    window.show();
    return QApplication::exec();
}
