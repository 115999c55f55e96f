#include "shell/toolwidgets.h"
#include "shell/captions.h"

#include <QBoxLayout>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>

#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <algorithm>

namespace relvix {

void setToolFont(QWidget *window, int language)
{
    const LanguageFont &record = LanguageFontFor(language);
    QFont font = window->font();
    font.setFamily(record.name);
    font.setPointSize(record.pointSize);
    window->setFont(font);
}

QPushButton *toolButton(QWidget *parent, QBoxLayout *row, const char *name)
{
    auto *b = new QPushButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    row->addWidget(b);
    return b;
}

void showBeside(QWidget *tool, const QWidget *main)
{
    // A hidden window keeps its place and size for the run; only the first show places it.
    static const char *const kPlaced = "relvixPlaced";
    if (!tool->property(kPlaced).toBool()) {
        tool->setProperty(kPlaced, true);
        const QScreen *where = main->screen() ? main->screen() : QGuiApplication::primaryScreen();
        if (where) {
            const QRect area = where->availableGeometry();
            const QRect beside = main->frameGeometry();
            // Its frame is not known before the first show: a title bar's worth is allowed.
            const QSize size = tool->size() + QSize(8, 32);
            int x = beside.right() + 1;
            if (x + size.width() > area.right() + 1) {
                const int left = beside.left() - size.width();
                x = left >= area.left() ? left : std::max(area.left(), area.right() + 1 - size.width());
            }
            const int y = std::clamp(beside.top(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
            tool->move(x, y);
        }
    }
    tool->show();
}

void chooseSaveFile(QWidget *parent, const char *objectName, const QString &filter, const QString &suffix,
                    const QString &suggestedName, std::function<void(const QString &)> save)
{
    auto *dialog = new QFileDialog(parent);
    dialog->setObjectName(QLatin1String(objectName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(filter);
    dialog->setDefaultSuffix(suffix);
    dialog->setDirectory(QDir::homePath());
    dialog->selectFile(suggestedName);
    QObject::connect(dialog, &QFileDialog::fileSelected, parent, std::move(save));
    dialog->open();
}

bool saveFile(QWidget *parent, const QString &path, const std::function<bool(QIODevice &)> &write, const QString &title,
              const QString &failedText)
{
    QSaveFile file(path);
    // The flush is checked apart: a buffered write that failed (a full disk) is not always
    // remembered by commit(), which would then put a short file in place of the old one.
    if (file.open(QIODevice::WriteOnly) && write(file) && file.flush() && file.error() == QFileDevice::NoError &&
        file.commit())
        return true;
    file.cancelWriting();
    auto *box = new QMessageBox(QMessageBox::Warning, title, failedText.arg(QDir::toNativeSeparators(path)),
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return false;
}

} // namespace relvix
