#pragma once
#include <QFileDialog>
#include <QObject>
#include <QPointer>

namespace relvix {

// An open or save dialog of the window, held as its design values until something first asks
// for the dialog itself. Qt's own file dialog builds its widgets when it is created: a file
// system model with a thread of its own, views and a dozen icons decoded from PNG, some 60 ms
// and several MB of the window's start-up for dialogs that are never opened.
class FileDialogComponent : public QObject {
    Q_OBJECT
public:
    struct Design {
        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        QString nameFilter;
        QString directory; // empty: the dialog's own start folder
        QString fileName;  // preselected, for a save dialog
    };

    FileDialogComponent(const char *name, Design design, QWidget *owner);

    const Design &design() const { return design_; }
    // The dialog, made on the first call with the design values, owned by the window.
    QFileDialog *dialog();
    bool isMade() const { return !dialog_.isNull(); }

private:
    Design design_;
    QWidget *owner_;
    QPointer<QFileDialog> dialog_;
};

} // namespace relvix
