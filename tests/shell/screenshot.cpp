// Shows the window as the program does (settings from XDG_CONFIG_HOME, the system's port
// names listed, nothing opened) and saves what it looks like:
//   relvix_screenshot WINDOW.png [MENU.png [COMMAND.png]]
// The second picture is the Language menu held open, the third the window on its command page.
#include "shell/frmmodule.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Relvix"));
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: relvix_screenshot WINDOW.png [MENU.png [COMMAND.png]]\n");
        return 2;
    }
    const QString windowPicture = args.at(1);
    const QString menuPicture = args.value(2);
    const QString commandPicture = args.value(3);

    relvix::TfrmModule window;
    window.show();
    int status = 0;
    // Long enough for the first paint and the fonts on a slow machine; the picture is what counts.
    QTimer::singleShot(800, &window, [&] {
        if (!window.grab().save(windowPicture))
            status = 1;
        if (menuPicture.isEmpty()) {
            QApplication::quit();
            return;
        }
        window.mnuLanguage->popup(window.mapToGlobal(QPoint(40, window.mnuMain->height())));
        QTimer::singleShot(500, &window, [&] {
            if (!window.mnuLanguage->grab().save(menuPicture))
                status = 1;
            window.mnuLanguage->hide();
            if (commandPicture.isEmpty()) {
                QApplication::quit();
                return;
            }
            window.pcMain->setCurrentWidget(window.tsCommand);
            QTimer::singleShot(300, &window, [&] {
                if (!window.grab().save(commandPicture))
                    status = 1;
                QApplication::quit();
            });
        });
    });
    QApplication::exec();
    return status;
}
