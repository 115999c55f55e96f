// Relvix: one window, no command-line arguments, exit code 0 whatever happens.
#include "shell/frmmodule.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <exception>

namespace {

// Looking the icon up in the icon themes reads their index files, some 5 ms that the window
// would wait for; it is set once the window has been painted for the first time.
class IconAfterFirstPaint : public QObject {
public:
    explicit IconAfterFirstPaint(QWidget *window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            // Queued: runs when this paint has reached the screen.
            QTimer::singleShot(0, this,
                               [] { QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("relvix"))); });
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The caption of error boxes; the window title comes from the caption pass.
    QApplication::setApplicationName(QStringLiteral("Relvix"));
    // Ties the window to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("relvix"));
    try {
        relvix::TfrmModule window;
        IconAfterFirstPaint icon(&window);
        window.show();
        QApplication::exec();
    } catch (const std::exception &error) {
        QMessageBox::critical(nullptr, QStringLiteral("Relvix"), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Relvix"), QStringLiteral("Unknown error."));
    }
    return 0;
}
