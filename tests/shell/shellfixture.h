// Window tests of the shell: the real window, offscreen, with its own settings folders and a
// stand-in port list, so no real port is ever named or opened.
#pragma once
#include "shell/frmmodule.h"
#include "support/settingsfixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <vector>

namespace relvix::shelltest {

// Base of the window tests: fresh settings folders, a window made on demand.
class ShellWindowTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (window)
            window->hide();
        window.reset();
    }

    // The real settings store (in the test's folders) and a given port list, listed.
    TfrmModule &makeWindow(const QStringList &ports = {QStringLiteral("COM1")})
    {
        WindowServices services;
        services.serialPorts = [ports] { return ports; };
        window = std::make_unique<TfrmModule>(std::move(services));
        window->ensurePortList();
        return *window;
    }

    // A fake settings store shared by every open.
    TfrmModule &makeWindowWithStore(std::shared_ptr<FakeStoreState> state,
                                    const QStringList &ports = {QStringLiteral("COM1")})
    {
        WindowServices services;
        services.serialPorts = [ports] { return ports; };
        services.settingsStore = [state]() -> std::unique_ptr<SettingsStore> {
            return std::make_unique<FakeStore>(state);
        };
        window = std::make_unique<TfrmModule>(std::move(services));
        window->ensurePortList();
        return *window;
    }

    SettingsFolders folders;
    std::unique_ptr<TfrmModule> window;
};

// Watches for message boxes while a test waits in one: records each and closes it.
class MessageBoxCloser {
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    MessageBoxCloser()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget *top : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(top);
                if (!box || !box->isVisible())
                    continue;
                seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start(20);
    }

    std::vector<Seen> seen;

private:
    QTimer timer_;
};

} // namespace relvix::shelltest
