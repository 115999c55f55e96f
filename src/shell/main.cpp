// Relvix: one window, no command-line arguments, exit code 0 whatever happens.
#include "shell/frmmodule.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <exception>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The caption of error boxes; the window title comes from the caption pass.
    QApplication::setApplicationName(QStringLiteral("Relvix"));
    // Ties the window to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("relvix"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("relvix")));
    try {
        relvix::TfrmModule window;
        window.show();
        QApplication::exec();
    } catch (const std::exception &error) {
        QMessageBox::critical(nullptr, QStringLiteral("Relvix"), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Relvix"), QStringLiteral("Unknown error."));
    }
    return 0;
}
