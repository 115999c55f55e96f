#pragma once
// A real main window, offscreen, with its settings in a temporary folder, tones recorded
// and the Yes/No question answered by the test.
#include "shell/frmmodule.h"
#include "shell/tone.h"
#include "support/platform.h"

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <functional>
#include <memory>

namespace relvix::testing {

struct ToneRecorder : TonePlayer {
    void play(int hz, int ms) override { calls.append({hz, ms}); }
    QList<QPair<int, int>> calls;
};

// Notes every text the status panel shows while messages are being processed.
class StatusRecorder {
public:
    explicit StatusRecorder(QLabel *panel) : panel_(panel)
    {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] { note(); });
        timer_.start();
    }
    void note()
    {
        if (texts.isEmpty() || texts.last() != panel_->text())
            texts.append(panel_->text());
    }
    QStringList texts;

private:
    QLabel *panel_;
    QTimer timer_;
};

// Runs `action` once, from the message processing of whatever runs, as soon as `ready`
// holds: a test that acts inside a running operation waits for the state it needs instead
// of betting on a timer. After a minute it gives up waiting, notes a failure and acts, so
// that a loop the action would end cannot run for ever.
inline void whenReady(std::function<bool()> ready, std::function<void()> action)
{
    auto *timer = new QTimer;
    auto *waited = new QElapsedTimer;
    waited->start();
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, [timer, waited, ready = std::move(ready), action = std::move(action)] {
        const bool late = waited->elapsed() > 60'000;
        if (!late && !ready())
            return;
        if (late)
            ADD_FAILURE() << "the state a test waited for never came";
        timer->stop();
        timer->deleteLater();
        delete waited;
        action();
    });
    timer->start();
}

class WindowTest : public ::testing::Test {
protected:
    void makeWindow(Clock *clock = nullptr, LinkOpener *opener = nullptr)
    {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        clearPlatformSettings();
        WindowServices s;
        s.serialPorts = [] { return QStringList{QStringLiteral("COM1")}; };
        s.tone = tones;
        s.askYesNo = [this](const QString &text, const QString &title) {
            questions.append(title + QLatin1Char('|') + text);
            return answerYes;
        };
        s.clock = clock;
        s.linkOpener = opener;
        window = std::make_unique<TfrmModule>(s);
        window->show();
        // Tests read the English texts; the table itself is tested elsewhere.
        window->mnuEnglishClick();
    }

    // The stored settings as QSettings reads them, apart from the code under test: the INI
    // file of the test's folder, or the registry key on Windows.
#ifdef _WIN32
    QString settingsFile() const
    {
        return QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Relvix");
    }
    static constexpr QSettings::Format kSettingsFormat = QSettings::NativeFormat;
    bool settingsSaved() const
    {
        return QSettings(settingsFile(), kSettingsFormat).childKeys().size() > 0;
    }
    void removeSettings() const
    {
        clearPlatformSettings();
    }
#else
    QString settingsFile() const
    {
        return config.path() + QStringLiteral("/Kavrel/Relvix.conf");
    }
    static constexpr QSettings::Format kSettingsFormat = QSettings::IniFormat;
    bool settingsSaved() const
    {
        return QFile::exists(settingsFile());
    }
    void removeSettings() const
    {
        QFile::remove(settingsFile());
    }
#endif

    // The window is idle again after an operation: enabled, no hourglass, lamp steady.
    void expectIdle(const QColor &lamp)
    {
        EXPECT_TRUE(window->isEnabled());
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_FALSE(window->tmrBusy->isActive());
        EXPECT_EQ(window->shComm->brushColor(), lamp);
        EXPECT_FALSE(window->link.isOpen());
    }

    QTemporaryDir config;
    std::shared_ptr<ToneRecorder> tones = std::make_shared<ToneRecorder>();
    QStringList questions;
    bool answerYes = true;
    std::unique_ptr<TfrmModule> window;
};

inline const QColor kRed(255, 0, 0);
inline const QColor kYellow(255, 255, 0);

} // namespace relvix::testing
