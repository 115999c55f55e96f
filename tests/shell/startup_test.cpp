// Start-up through the real window: what the stored settings and the port list give, and
// what the settings file holds afterwards.
#include "shellfixture.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QThread>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

class Startup : public ShellWindowTest {};

QStringList items(const QComboBox *combo)
{
    QStringList list;
    for (int i = 0; i < combo->count(); ++i)
        list << combo->itemText(i);
    return list;
}

} // namespace

TEST_F(Startup, FirstStartWithoutSettings)
{
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsCom);
    EXPECT_EQ(w.link.state.transport, Transport::Serial);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(w.cmbBaudrate->currentText(), QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(w.edIP->text(), QStringLiteral("192.168.1.101"));
    EXPECT_EQ(w.edPort->text(), QStringLiteral("4001"));
    EXPECT_EQ(w.pcMain->currentWidget(), w.tsTest);
    EXPECT_EQ(w.currentLanguage, 2);
    EXPECT_EQ(w.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_EQ(w.link.state.portName, QStringLiteral("COM3"));
    EXPECT_EQ(w.link.state.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(w.link.state.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(w.link.state.peerPort, QStringLiteral("4001"));

    w.show();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Relvix V0112"));
    EXPECT_EQ(w.btnConnect->text(), QStringLiteral("連線裝置"));
    EXPECT_EQ(w.pnMsg->text(), QStringLiteral("連線裝置"));
    EXPECT_EQ(w.pcMain->tabText(0), QStringLiteral("基本測試"));
    EXPECT_TRUE(w.mnuTraditional->isChecked());
    EXPECT_FALSE(QFile::exists(folders.userFile())) << "starting writes nothing";
}

TEST_F(Startup, CreationChangesNothingElse)
{
    TfrmModule &w = makeWindow();
    EXPECT_FALSE(w.tmrBusy->isActive());
    EXPECT_EQ(w.sbSlave->value(), 1);
    EXPECT_EQ(w.sbID->value(), 1);
    EXPECT_EQ(w.link.openCount(), 0);
    EXPECT_FALSE(w.link.isOpen());
    EXPECT_EQ(w.btnConnect->text(), QStringLiteral("Connect device")) << "captions wait for the first show";
    EXPECT_EQ(w.handlerDepth(), 0);
    EXPECT_EQ(frmModule, &w);
}

TEST_F(Startup, StoredTypeOneStartsOnTheNetworkPageInEnglish)
{
    folders.writeUserFile("[General]\nTYPE=1\n");
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsNet);
    EXPECT_EQ(w.link.state.transport, Transport::Tcp);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(w.cmbBaudrate->currentText(), QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(w.edIP->text(), QStringLiteral("192.168.1.101"));
    EXPECT_EQ(w.edPort->text(), QStringLiteral("4001"));
    EXPECT_EQ(w.currentLanguage, 0);
    EXPECT_EQ(w.languageFlag, QStringLiteral("English"));
    w.show();
    EXPECT_EQ(w.btnConnect->text(), QStringLiteral("Connect device"));
    EXPECT_EQ(w.pcPort->tabText(w.pcPort->indexOf(w.tsNet)), QStringLiteral("NET"));
}

TEST_F(Startup, AnyOtherStoredTypeCountsAsNetworkAndIsSavedAsOne)
{
    folders.writeUserFile("[General]\nTYPE=7\n");
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsNet);
    EXPECT_EQ(w.link.state.transport, Transport::Tcp);
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.SaveLinkSettings();
    EXPECT_EQ(folders.userValues().at(QStringLiteral("TYPE")), QStringLiteral("1"));
}

TEST_F(Startup, TypeStoredAsTextGivesEveryBuiltIn)
{
    folders.writeUserFile("[General]\nTYPE=net\nComPortName=COM5\nNetPort=502\nLanguageFlag=English\n");
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsCom);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(w.edPort->text(), QStringLiteral("4001"));
    EXPECT_EQ(w.currentLanguage, 2);
    EXPECT_EQ(w.languageFlag, QStringLiteral("ChineseBIG5"));
}

TEST_F(Startup, LanguageFlagVariants)
{
    const struct {
        const char *line;
        int language;
        const char *flag;
    } cases[] = {{"LanguageFlag=ChineseGB\n", 1, "ChineseGB"},
                 {"LanguageFlag=ChineseBIG5\n", 2, "ChineseBIG5"},
                 {"LanguageFlag=chinesegb\n", 0, "chinesegb"},
                 {"LanguageFlag=\n", 0, ""}};
    for (const auto &c : cases) {
        folders.writeUserFile(QByteArray("[General]\n") + c.line);
        TfrmModule &w = makeWindow();
        EXPECT_EQ(w.currentLanguage, c.language) << c.line;
        EXPECT_EQ(w.languageFlag, QString::fromLatin1(c.flag)) << c.line;
        window.reset();
    }
}

TEST_F(Startup, CorruptSettingsFileGivesTheBuiltIns)
{
    const char corrupt[] = "[General]\nTYPE=1\nLanguageFlag=English\n\x00\x01\x02\xff";
    folders.writeUserFile(QByteArray(corrupt, sizeof corrupt - 1));
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsCom);
    EXPECT_EQ(w.currentLanguage, 2);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3"));
}

TEST_F(Startup, UnreadableSettingsFileGivesTheBuiltIns)
{
    ASSERT_TRUE(QDir().mkpath(folders.userFile()));
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsCom);
    EXPECT_EQ(w.currentLanguage, 2);
    EXPECT_EQ(w.languageFlag, QStringLiteral("ChineseBIG5"));
}

TEST_F(Startup, PortListKeepsTheSystemsOrderTrimmedWithDuplicates)
{
    TfrmModule &w =
        makeWindow({QStringLiteral("COM1"), QStringLiteral(" COM4 "), QStringLiteral("COM1"), QStringLiteral("\t\n")});
    EXPECT_EQ(items(w.cmbPort),
              (QStringList{QStringLiteral("COM1"), QStringLiteral("COM4"), QStringLiteral("COM1"), QString()}));
    EXPECT_EQ(w.cmbPort->currentIndex(), 0);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3")) << "the stored or built-in name shows";
}

TEST_F(Startup, NoReportedPortsGivesSixteenNames)
{
    TfrmModule &w = makeWindow({});
    ASSERT_EQ(w.cmbPort->count(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(w.cmbPort->itemText(i), QStringLiteral("COM%1").arg(i + 1));
}

TEST_F(Startup, StoredPortNotReportedStillShows)
{
    folders.writeUserFile("[General]\nComPortName=COM9\nComBaudRate=\"9600,n,8,1\"\n");
    TfrmModule &w = makeWindow({QStringLiteral("COM1")});
    EXPECT_EQ(items(w.cmbPort), QStringList{QStringLiteral("COM1")});
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM9"));
    EXPECT_EQ(w.cmbBaudrate->currentText(), QStringLiteral("9600,n,8,1"));
}

// The system's ports are listed beside start-up, here slowly. The field shows its start-up
// text from the first; the list arrives by itself keeping that text, and a person who reaches
// for the field before then (a click on its arrow, Tab into it) finds the list complete.
TEST_F(Startup, SlowPortListArrivesBesideStartUpAndTheTextStays)
{
    folders.writeUserFile("[General]\nComPortName=COM9\n");
    enum class Reach { Nothing, Click, Tab };
    for (Reach reach : {Reach::Nothing, Reach::Click, Reach::Tab}) {
        SCOPED_TRACE(int(reach));
        WindowServices services;
        services.serialPorts = [] {
            QThread::msleep(150);
            return QStringList{QStringLiteral("COM2"), QStringLiteral("COM1")};
        };
        window = std::make_unique<TfrmModule>(std::move(services));
        TfrmModule &w = *window;
        w.show();
        EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM9"));
        switch (reach) {
        case Reach::Nothing: {
            QDeadlineTimer patience(20000);
            while (w.cmbPort->count() == 0 && !patience.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            break;
        }
        case Reach::Click:
            QTest::mouseClick(w.cmbPort, Qt::LeftButton, {}, QPoint(w.cmbPort->width() - 6, w.cmbPort->height() / 2));
            break;
        case Reach::Tab:
            w.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
            w.pcPort->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            break;
        }
        EXPECT_EQ(items(w.cmbPort), (QStringList{QStringLiteral("COM2"), QStringLiteral("COM1")}));
        EXPECT_EQ(w.cmbPort->currentIndex(), 0);
        EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM9"));
        w.cmbPort->hidePopup();
    }
}

TEST_F(Startup, MachineWideDefaultsApply)
{
    folders.writeMachineFile("[General]\nTYPE=1\nNetIP=127.0.0.1\nLanguageFlag=ChineseGB\n");
    TfrmModule &w = makeWindow();
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsNet);
    EXPECT_EQ(w.edIP->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(w.currentLanguage, 1);
}

// ---- what is written ----

TEST_F(Startup, LanguageCommandWritesOnlyTheFlag)
{
    folders.writeUserFile("[General]\nTYPE=1\nComBaudRate=\"9600,n,8,1\"\nComPortName=COM5\nNetIP=127.0.0.1\n"
                          "NetPort=502\nLanguageFlag=English\n");
    TfrmModule &w = makeWindow();
    w.show();
    auto before = folders.userValues();
    w.edIP->setText(QStringLiteral("127.0.0.9")); // a changed field is not stored by a language command
    w.mnuSimplified->trigger();
    auto after = folders.userValues();
    EXPECT_EQ(after.at(QStringLiteral("LanguageFlag")), QStringLiteral("ChineseGB"));
    before.erase(QStringLiteral("LanguageFlag"));
    after.erase(QStringLiteral("LanguageFlag"));
    EXPECT_EQ(after, before);
}

TEST_F(Startup, LanguageCommandOnAFreshMachineCreatesTheFlagAlone)
{
    TfrmModule &w = makeWindow();
    w.show();
    w.mnuEnglish->trigger();
    const auto values = folders.userValues();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values.at(QStringLiteral("LanguageFlag")), QStringLiteral("English"));
}

TEST_F(Startup, ChoosingTheLanguageInForceWritesAgain)
{
    auto state = std::make_shared<FakeStoreState>();
    state->values[QStringLiteral("LanguageFlag")] = QStringLiteral("ChineseGB");
    TfrmModule &w = makeWindowWithStore(state);
    w.show();
    w.pnMsg->setText(QStringLiteral("Command ok."));
    w.mnuSimplified->trigger();
    EXPECT_EQ(state->writes, QStringList{QStringLiteral("LanguageFlag=ChineseGB")});
    EXPECT_EQ(w.pnMsg->text(), QStringLiteral("连线装置"));
}

TEST_F(Startup, UnwritableSettingsFolderStillChangesTheLanguage)
{
    {
        QDir().mkpath(QFileInfo(folders.userFolder()).absolutePath());
        QFile blocker(folders.userFolder()); // a file where the folder should be
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    TfrmModule &w = makeWindow();
    w.show();
    MessageBoxCloser boxes;
    w.mnuEnglish->trigger();
    EXPECT_EQ(w.currentLanguage, 0);
    EXPECT_EQ(w.languageFlag, QStringLiteral("English"));
    EXPECT_EQ(w.btnConnect->text(), QStringLiteral("Connect device"));
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.SaveLinkSettings();
    QCoreApplication::processEvents();
    EXPECT_TRUE(boxes.seen.empty()) << "settings failures are silent";
    EXPECT_TRUE(QFileInfo(folders.userFolder()).isFile());
}

TEST_F(Startup, SaveLinkSettingsFromTheNetworkPageKeepsTheSerialValues)
{
    folders.writeUserFile("[General]\nTYPE=0\nComPortName=COM5\nComBaudRate=\"9600,n,8,1\"\nLanguageFlag=English\n");
    TfrmModule &w = makeWindow();
    w.pcPort->setCurrentWidget(w.tsNet);
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.edPort->setText(QStringLiteral("5020"));
    w.cmbPort->setEditText(QStringLiteral("COM8")); // on the other page: not taken
    w.SaveLinkSettings();

    EXPECT_EQ(w.link.state.transport, Transport::Tcp);
    const auto values = folders.userValues();
    EXPECT_EQ(values.at(QStringLiteral("TYPE")), QStringLiteral("1"));
    EXPECT_EQ(values.at(QStringLiteral("NetIP")), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(values.at(QStringLiteral("NetPort")), QStringLiteral("5020"));
    EXPECT_EQ(values.at(QStringLiteral("ComPortName")), QStringLiteral("COM5"));
    EXPECT_EQ(values.at(QStringLiteral("ComBaudRate")), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(values.at(QStringLiteral("LanguageFlag")), QStringLiteral("English"));
}

TEST_F(Startup, SaveLinkSettingsWritesInOrderAndTakesTheActivePage)
{
    auto state = std::make_shared<FakeStoreState>();
    state->values = {{QStringLiteral("TYPE"), 1},
                     {QStringLiteral("NetIP"), QStringLiteral("127.0.0.1")},
                     {QStringLiteral("NetPort"), QStringLiteral("502")}};
    TfrmModule &w = makeWindowWithStore(state);
    ASSERT_EQ(w.pcPort->currentWidget(), w.tsNet);
    w.pcPort->setCurrentWidget(w.tsCom);
    w.cmbPort->setEditText(QStringLiteral("ttyUSB0"));
    w.btn9600->click();
    w.edIP->setText(QStringLiteral("127.0.0.3")); // on the other page: not taken
    w.SaveLinkSettings();
    EXPECT_EQ(state->writes,
              (QStringList{QStringLiteral("TYPE=0"), QStringLiteral("NetPort=502"), QStringLiteral("NetIP=127.0.0.1"),
                           QStringLiteral("ComBaudRate=9600,n,8,1"), QStringLiteral("ComPortName=ttyUSB0")}));
    EXPECT_EQ(w.link.state.transport, Transport::Serial);
    EXPECT_EQ(state->closes, state->opens);
}

TEST_F(Startup, SaveLinkSettingsTakesNothingWhenTheStoreCannotOpen)
{
    auto state = std::make_shared<FakeStoreState>();
    state->keyExists = false;
    state->failOpenForWrite = true;
    TfrmModule &w = makeWindowWithStore(state);
    w.pcPort->setCurrentWidget(w.tsNet);
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.SaveLinkSettings();
    EXPECT_EQ(w.link.state.transport, Transport::Serial);
    EXPECT_EQ(w.link.state.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(Startup, WrongTypeInTheStoreStopsTheLoadAndClosesIt)
{
    auto state = std::make_shared<FakeStoreState>();
    state->values = {{QStringLiteral("TYPE"), QStringLiteral("1")},
                     {QStringLiteral("ComPortName"), QStringLiteral("COM5")},
                     {QStringLiteral("LanguageFlag"), QStringLiteral("English")}};
    TfrmModule &w = makeWindowWithStore(state);
    EXPECT_EQ(state->opens, 1);
    EXPECT_EQ(state->closes, 1);
    EXPECT_EQ(state->reads, QStringList{QStringLiteral("TYPE")});
    EXPECT_EQ(w.pcPort->currentWidget(), w.tsCom);
    EXPECT_EQ(w.cmbPort->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(w.currentLanguage, 2);
}
