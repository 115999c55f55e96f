#pragma once
// What the windows of the Tools menu share: their buttons, and saving a file that the user
// names, with a warning when it could not be written whole.
#include <QString>

#include <functional>

class QBoxLayout;
class QIODevice;
class QPushButton;
class QWidget;

namespace relvix {

// The family and size of the language's font on a tool window; its colours stay the system's.
void setToolFont(QWidget *window, int language);

// A button at the end of row, named for the tests; never the default of its window.
QPushButton *toolButton(QWidget *parent, QBoxLayout *row, const char *name);

// Shows a tool window; the first time beside `main` (right of it if there is room, else left,
// else where it covers least), afterwards where and as large as the user left it.
void showBeside(QWidget *tool, const QWidget *main);

// Asks for a file to save under (modal to parent only, without an event loop of its own) and
// calls save with the chosen path.
void chooseSaveFile(QWidget *parent, const char *objectName, const QString &filter, const QString &suffix,
                    const QString &suggestedName, std::function<void(const QString &)> save);

// Writes path through write, and replaces the old file only if every byte reached it; if not,
// the old file stays and a warning titled title says failedText (with %1 the path).
bool saveFile(QWidget *parent, const QString &path, const std::function<bool(QIODevice &)> &write, const QString &title,
              const QString &failedText);

} // namespace relvix
