// Loaded into the real relvix (LD_PRELOAD) by the closing test: once the window runs, it opens
// both tool windows and closes the main window, during a scan ("scan") or not ("tools"), and
// says on standard error when it asks for the close. It knows the window only by its
// controls' names.
#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

QWidget *topLevel(const char *name)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name))
            return w;
    return nullptr;
}

void say(const char *what)
{
    std::fprintf(stderr, "driver: %s\n", what);
    std::fflush(stderr);
}

void drive()
{
    const QByteArray how = qgetenv("RELVIX_CLOSE_DRIVE");
    QTimer::singleShot(500, qApp, [how] {
        QWidget *main = topLevel("frmModule");
        if (!main) {
            say("no window");
            return;
        }
        for (const char *item : {"mnuTrafficMonitor", "mnuFindReaders"})
            if (auto *action = main->findChild<QAction *>(QLatin1String(item)))
                action->trigger();
        QWidget *finder = topLevel("frmFindReaders");
        if (!finder || !topLevel("frmTrafficMonitor")) {
            say("no tool windows");
            return;
        }
        say("tools open");
        if (how == "scan") {
            auto *start = finder->findChild<QPushButton *>(QStringLiteral("btnStart"));
            // The scan runs inside the click; the close comes while it runs.
            QTimer::singleShot(0, start, &QPushButton::click);
            QTimer::singleShot(800, main, [main] {
                say("closing");
                main->close();
            });
        } else {
            QTimer::singleShot(200, main, [main] {
                say("closing");
                if (auto *exit = main->findChild<QAction *>(QStringLiteral("mnuExit")))
                    exit->trigger();
            });
        }
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(drive)
