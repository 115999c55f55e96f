// The shell's own commands and the handler frame: speed buttons, Exit, About, Enter, the
// error box and a close that waits for the running handler.
#include "shell/languagetable.h"
#include "shell/tone.h"
#include "shellfixture.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QScreen>
#include <stdexcept>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

class Window : public ShellWindowTest {
protected:
    void SetUp() override { makeWindow(); }

    static void pressEnter(QWidget *target)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
    }

    // Lets queued events run for a while without any timing assertion.
    static void spin(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
};

} // namespace

TEST_F(Window, SpeedButtonsSelectTheirPositions)
{
    window->btn9600->click();
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(window->cmbBaudrate->currentIndex(), 3);
    window->btn19200->click();
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(window->cmbBaudrate->currentIndex(), 9);
    window->btn115200->click();
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("115200,n,8,1"));
    EXPECT_EQ(window->cmbBaudrate->currentIndex(), 7);
    EXPECT_FALSE(QFile::exists(folders.userFile())) << "nothing is stored";
}

TEST_F(Window, SpeedButtonReplacesTypedText)
{
    window->btn115200->click();
    window->cmbBaudrate->setEditText(QStringLiteral("4800,o,7,2"));
    window->btn115200->click();
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("115200,n,8,1"));
    window->cmbBaudrate->setEditText(QStringLiteral("typed"));
    window->btn9600->click();
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("9600,n,8,1"));
}

TEST_F(Window, ExitWhileIdleClosesAtOnce)
{
    window->show();
    ASSERT_TRUE(window->isVisible());
    window->mnuExit->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->closePending());
    EXPECT_FALSE(QFile::exists(folders.userFile())) << "nothing is saved on the way out";
}

TEST_F(Window, CloseDuringAHandlerWaitsForItToReturn)
{
    window->show();
    bool visibleThroughout = true;
    bool pendingSeen = false;
    window->runHandler([&] {
        // As a card reading loop does: messages are processed while the handler runs.
        QTimer::singleShot(0, window.get(), [this] { window->close(); });
        spin(100);
        window->mnuExit->trigger(); // Exit too only asks
        spin(50);
        visibleThroughout = window->isVisible();
        pendingSeen = window->closePending();
    });
    EXPECT_TRUE(visibleThroughout);
    EXPECT_TRUE(pendingSeen);
    EXPECT_FALSE(window->isVisible()) << "the close is honoured once the handler has returned";
    EXPECT_FALSE(window->closePending());
}

TEST_F(Window, NestedHandlersCloseOnlyAfterTheOutermost)
{
    window->show();
    bool visibleAfterInner = false;
    window->runHandler([&] {
        window->runHandler([&] { window->close(); });
        visibleAfterInner = window->isVisible();
        EXPECT_EQ(window->handlerDepth(), 1);
    });
    EXPECT_TRUE(visibleAfterInner);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->handlerDepth(), 0);
}

TEST_F(Window, ErrorEscapingAHandlerIsShownAndTheWindowGoesOn)
{
    window->show();
    MessageBoxCloser boxes;
    window->runHandler([] { throw std::runtime_error("Access violation at address 0"); });
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, QStringLiteral("Relvix")) << "the application title, not the window title";
    EXPECT_EQ(boxes.seen[0].text, QStringLiteral("Access violation at address 0"));
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->handlerDepth(), 0);

    window->runHandler([] { throw 42; });
    EXPECT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].title, QStringLiteral("Relvix"));
    bool ran = false;
    window->runHandler([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(boxes.seen.size(), 2u);
}

TEST_F(Window, AboutBoxShowsTheTableTexts)
{
    window->show();
    for (int language : {0, 2}) {
        window->currentLanguage = language;
        MessageBoxCloser boxes;
        window->mnuAbout->trigger();
        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].title, LanguageTextFor(language, 7));
        EXPECT_EQ(boxes.seen[0].text, LanguageTextFor(language, 1));
        EXPECT_EQ(boxes.seen[0].icon, QMessageBox::NoIcon);
        EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

TEST_F(Window, EnterPressesTheDefaultButtonUnlessAButtonHasTheFocus)
{
    EXPECT_TRUE(window->btnConnect->isDefault());
    window->show();
    window->pcPort->setCurrentWidget(window->tsNet);
    window->edIP->setFocus();
    EXPECT_EQ(window->buttonForEnter(), window->btnConnect);
    window->pcPort->setCurrentWidget(window->tsCom);
    window->cmbBaudrate->setFocus();
    EXPECT_EQ(window->buttonForEnter(), window->btnConnect);

    // A focused button takes Enter itself (a speed button: harmless to press).
    window->btn9600->setFocus();
    EXPECT_EQ(window->buttonForEnter(), window->btn9600);
    pressEnter(window->btn9600);
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("9600,n,8,1"));
}

namespace {

// Takes the Enter presses that reach the window itself, so none of them presses anything.
class EnterCatcher : public QObject {
public:
    int caught = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Return) {
            ++caught;
            return true;
        }
        return false;
    }
};

} // namespace

TEST_F(Window, EnterInAFieldReachesTheWindow)
{
    window->show();
    EnterCatcher catcher;
    window->installEventFilter(&catcher);
    window->pcPort->setCurrentWidget(window->tsNet);
    window->edIP->setFocus();
    pressEnter(window->edIP);
    EXPECT_EQ(catcher.caught, 1) << "an edit field leaves Enter to the window";
    window->pcPort->setCurrentWidget(window->tsCom);
    window->cmbBaudrate->setFocus();
    pressEnter(window->cmbBaudrate->lineEdit());
    EXPECT_EQ(catcher.caught, 2) << "so does an editable list";
    pressEnter(window->chkLoop);
    EXPECT_EQ(catcher.caught, 3) << "and a check box";
    window->removeEventFilter(&catcher);
}

TEST_F(Window, FixedSizeNoMaximiseCentred)
{
    window->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->client->size(), QSize(680, 609));
    EXPECT_EQ(window->centralWidget(), window->client);
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable";
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowSystemMenuHint));
    window->resize(900, 900);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->client->size(), QSize(680, 609));
    const QRect area = window->screen()->availableGeometry();
    const QPoint centre = window->frameGeometry().center();
    EXPECT_LE(std::abs(centre.x() - area.center().x()), 40);
    EXPECT_LE(std::abs(centre.y() - area.center().y()), 40);
}

namespace {

bool processHasLoaded(const char *library)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(library);
}

} // namespace

// Qt Multimedia comes into the process with the audio module, which the window loads for its
// first tone, not at start.
TEST_F(Window, AudioIsLoadedOnlyForTheFirstTone)
{
    window->show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(processHasLoaded("libQt6Multimedia"));
#ifdef RELVIX_AUDIO_MODULE
    const auto player =
        loadAudioTonePlayer({QStringLiteral("/nonexistent/relvix-audio.so"), QStringLiteral(RELVIX_AUDIO_MODULE)});
    ASSERT_NE(player, nullptr) << "silent at worst";
    EXPECT_TRUE(processHasLoaded("libQt6Multimedia"));
    player->play(1000, 10);
#endif
    EXPECT_NE(loadAudioTonePlayer({QStringLiteral("/nonexistent/relvix-audio.so")}), nullptr);
}

TEST_F(Window, FrameTextsGoToTheFrameFields)
{
    FrameObserver &frames = *window;
    FrameEvent event;
    event.kind = FrameEvent::Kind::Request;
    event.bytes = QByteArray::fromHex("010301100002C432");
    frames.frameEvent(event);
    event.kind = FrameEvent::Kind::Response;
    event.bytes = QByteArray::fromHex("01030400000000");
    frames.frameEvent(event);
    EXPECT_EQ(window->edTX->text(), QStringLiteral("01 03 01 10 00 02 C4 32 "));
    EXPECT_EQ(window->edRX->text(), QStringLiteral("01 03 04 00 00 00 00 "));
    event.kind = FrameEvent::Kind::NoResponse; // a failed exchange leaves the receive field
    frames.frameEvent(event);
    EXPECT_EQ(window->edRX->text(), QStringLiteral("01 03 04 00 00 00 00 "));
    event.kind = FrameEvent::Kind::Open;
    frames.frameEvent(event);
    EXPECT_EQ(window->edTX->text(), QString());
    EXPECT_EQ(window->edRX->text(), QString());
    ExchangeHost &host = *window;
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    host.processMessages();
    EXPECT_TRUE(ran);
}
