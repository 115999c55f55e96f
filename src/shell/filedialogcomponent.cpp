#include "filedialogcomponent.h"

namespace relvix {

FileDialogComponent::FileDialogComponent(const char *name, Design design, QWidget *owner)
    : QObject(owner), design_(std::move(design)), owner_(owner)
{
    setObjectName(QLatin1String(name));
}

QFileDialog *FileDialogComponent::dialog()
{
    if (dialog_)
        return dialog_;
    dialog_ = new QFileDialog(owner_);
    dialog_->setObjectName(objectName());
    dialog_->setAcceptMode(design_.mode);
    dialog_->setNameFilter(design_.nameFilter);
    if (!design_.directory.isEmpty())
        dialog_->setDirectory(design_.directory);
    if (!design_.fileName.isEmpty())
        dialog_->selectFile(design_.fileName);
    return dialog_;
}

} // namespace relvix
