// The caption pass and the language commands, compared with the language table.
#include "shell/captions.h"
#include "shell/languagetable.h"
#include "shellfixture.h"

#include <QStyleOptionGroupBox>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

class Captions : public ShellWindowTest {
protected:
    void SetUp() override
    {
        makeWindow();
        window->show();
    }

    void choose(int language)
    {
        QAction *items[] = {window->mnuEnglish, window->mnuSimplified, window->mnuTraditional};
        items[language]->trigger();
    }
};

struct CaptionRow {
    const char *control;
    std::function<QString(const TfrmModule &)> caption;
    int row;
    const char *suffix;
};

// The captions the pass replaces, in its order.
const std::vector<CaptionRow> &captionRows()
{
    static const std::vector<CaptionRow> rows{
        {"window title", [](const TfrmModule &w) { return w.windowTitle(); }, 0, ""},
        {"mnuLanguage", [](const TfrmModule &w) { return w.mnuLanguage->title(); }, 4, ""},
        {"mnuFile", [](const TfrmModule &w) { return w.mnuFile->title(); }, 5, ""},
        {"mnuFirmwareFile", [](const TfrmModule &w) { return w.mnuFirmwareFile->text(); }, 17, ""},
        {"mnuAbout", [](const TfrmModule &w) { return w.mnuAbout->text(); }, 8, ""},
        {"mnuExit", [](const TfrmModule &w) { return w.mnuExit->text(); }, 9, ""},
        {"tsNet", [](const TfrmModule &w) { return w.pcPort->tabText(w.pcPort->indexOf(w.tsNet)); }, 12, ""},
        {"tsCom", [](const TfrmModule &w) { return w.pcPort->tabText(w.pcPort->indexOf(w.tsCom)); }, 11, ""},
        {"lblPort", [](const TfrmModule &w) { return w.lblPort->text(); }, 14, ""},
        {"lblNetPort", [](const TfrmModule &w) { return w.lblNetPort->text(); }, 14, ""},
        {"lblSpeed", [](const TfrmModule &w) { return w.lblSpeed->text(); }, 13, ""},
        {"tsTest", [](const TfrmModule &w) { return w.pcMain->tabText(w.pcMain->indexOf(w.tsTest)); }, 24, ""},
        {"tsCommand", [](const TfrmModule &w) { return w.pcMain->tabText(w.pcMain->indexOf(w.tsCommand)); }, 25, ""},
        {"btnConnect", [](const TfrmModule &w) { return w.btnConnect->text(); }, 18, ""},
        {"btnSetID", [](const TfrmModule &w) { return w.btnSetID->text(); }, 32, ""},
        {"btnInitial", [](const TfrmModule &w) { return w.btnInitial->text(); }, 41, ""},
        {"btnReboot", [](const TfrmModule &w) { return w.btnReboot->text(); }, 42, ""},
        {"btnUID", [](const TfrmModule &w) { return w.btnUID->text(); }, 35, ""},
        {"btnClearUID", [](const TfrmModule &w) { return w.btnClearUID->text(); }, 37, ""},
        {"pnMsg", [](const TfrmModule &w) { return w.pnMsg->text(); }, 3, ""},
        {"chkLoop", [](const TfrmModule &w) { return w.chkLoop->text(); }, 38, ""},
        {"btnReadDiDo", [](const TfrmModule &w) { return w.btnReadDiDo->text(); }, 39, ""},
        {"btnSetDo", [](const TfrmModule &w) { return w.btnSetDo->text(); }, 40, ""},
        {"gbCommand", [](const TfrmModule &w) { return w.gbCommand->title(); }, 25, ""},
        {"lblCommandSend", [](const TfrmModule &w) { return w.lblCommandSend->text(); }, 45, ":"},
        {"lblCommandRecv", [](const TfrmModule &w) { return w.lblCommandRecv->text(); }, 47, ""},
        {"lblCommandTran", [](const TfrmModule &w) { return w.lblCommandTran->text(); }, 46, ""},
        {"btnSendCommandRTU", [](const TfrmModule &w) { return w.btnSendCommandRTU->text(); }, 45, "(RTU)"},
    };
    return rows;
}

// Captions without a row: the design text in every language.
const std::vector<std::pair<const char *, QString>> &fixedCaptions()
{
    static const std::vector<std::pair<const char *, QString>> fixed{
        {"gbID", QStringLiteral("ID")},
        {"gbUID", QStringLiteral("CARD/KEY")},
        {"GroupBox1", QStringLiteral("DI/DO")},
        {"lblSlave", QStringLiteral("ID:")},
        {"lblIP", QStringLiteral("IP:")},
        {"Label11", QStringLiteral("TX :")},
        {"Label12", QStringLiteral("RX :")},
        {"chkLSB", QStringLiteral("LSB")},
        {"chkKeyHex", QStringLiteral("HEX")},
        {"btn19200", QStringLiteral("19200,e,8,1")},
        {"btn9600", QStringLiteral("9600")},
        {"btn115200", QStringLiteral("115200")},
        {"pnSetIDRange", QStringLiteral("Range : 1 ~ 254")},
        {"lblID", QStringLiteral("ID:")},
        {"Label1", QStringLiteral("UID:")},
        {"Label2", QStringLiteral("KEY:")},
        {"lblReadDi", QStringLiteral("DI:")},
        {"lblReadDo", QStringLiteral("DO:")},
        {"lblSetDo", QStringLiteral("DO:")},
        {"gbTxRx", QString()},
    };
    return fixed;
}

QString captionOf(QWidget *control)
{
    if (auto *l = qobject_cast<QLabel *>(control))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(control))
        return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(control))
        return g->title();
    return QStringLiteral("<no caption>");
}

} // namespace

TEST_F(Captions, EveryCaptionInEveryLanguage)
{
    for (int language : {0, 1, 2, 0}) {
        choose(language);
        ASSERT_EQ(window->currentLanguage, language);
        for (const CaptionRow &c : captionRows()) {
            EXPECT_EQ(c.caption(*window), LanguageTextFor(language, c.row) + QString::fromLatin1(c.suffix))
                << c.control << " in language " << language;
        }
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Relvix V0112"));
        EXPECT_EQ(window->mnuEnglish->text(), QStringLiteral("&English"));
        EXPECT_EQ(window->mnuSimplified->text(), QStringLiteral("&Simplified chinese(简体)"));
        EXPECT_EQ(window->mnuTraditional->text(), QStringLiteral("&Traditional chinese(繁體)"));
        for (const auto &[name, text] : fixedCaptions()) {
            auto *control = window->findChild<QWidget *>(QLatin1String(name));
            ASSERT_NE(control, nullptr) << name;
            EXPECT_EQ(captionOf(control), text) << name << " in language " << language;
        }
    }
}

TEST_F(Captions, EnglishShowsTheTableNotTheDesignTexts)
{
    choose(0);
    EXPECT_EQ(window->btnInitial->text(), QStringLiteral("Set factory"));
    EXPECT_EQ(window->pcMain->tabText(0), QStringLiteral("Basic test"));
    EXPECT_EQ(window->pcMain->tabText(1), QStringLiteral("Command test"));
    EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
    EXPECT_EQ(window->mnuExit->text(), QStringLiteral("E&xit"));
    EXPECT_EQ(window->lblCommandSend->text(), QStringLiteral("Send command:"));
    EXPECT_EQ(window->btnSendCommandRTU->text(), QStringLiteral("Send command(RTU)"));
    EXPECT_EQ(window->lblCommandTran->text(), QStringLiteral("Send command(Hex):"));
}

TEST_F(Captions, ExactlyTheChosenLanguageIsChecked)
{
    for (int language : {1, 0, 2, 2}) {
        choose(language);
        EXPECT_EQ(window->mnuEnglish->isChecked(), language == 0);
        EXPECT_EQ(window->mnuSimplified->isChecked(), language == 1);
        EXPECT_EQ(window->mnuTraditional->isChecked(), language == 2);
        EXPECT_EQ(window->languageFlag, LanguageFlagFor(language));
    }
}

TEST_F(Captions, ThePassTouchesNoData)
{
    window->pnVER->setText(QStringLiteral("VER : 1A05"));
    window->pnSN->setText(QStringLiteral("S/N : 0012ABCD"));
    window->pnUID->setText(QStringLiteral("0012345678"));
    window->pnKey->setText(QStringLiteral("1234"));
    window->pnDiVal->setText(QStringLiteral("00FF"));
    window->edTX->setText(QStringLiteral("01 03 "));
    window->edRX->setText(QStringLiteral("01 83 "));
    window->edCommandTran->setText(QStringLiteral("01 06 "));
    window->edSetDo->setText(QStringLiteral("00AA"));
    window->cmbFormat->setCurrentIndex(4);
    window->chkLSB->setChecked(true);
    window->chkLoop->setChecked(false);
    window->cmbBaudrate->setEditText(QStringLiteral("4800,n,8,1"));
    window->pnMsg->setText(QStringLiteral("Command error!"));

    choose(1);
    EXPECT_EQ(window->pnVER->text(), QStringLiteral("VER : 1A05"));
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 0012ABCD"));
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("0012345678"));
    EXPECT_EQ(window->pnKey->text(), QStringLiteral("1234"));
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("00FF"));
    EXPECT_EQ(window->edTX->text(), QStringLiteral("01 03 "));
    EXPECT_EQ(window->edRX->text(), QStringLiteral("01 83 "));
    EXPECT_EQ(window->edCommandTran->text(), QStringLiteral("01 06 "));
    EXPECT_EQ(window->edSetDo->text(), QStringLiteral("00AA"));
    EXPECT_EQ(window->cmbFormat->currentIndex(), 4);
    EXPECT_TRUE(window->chkLSB->isChecked());
    EXPECT_FALSE(window->chkLoop->isChecked());
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("4800,n,8,1"));
    EXPECT_EQ(window->sbSlave->value(), 1);
    EXPECT_EQ(window->pnMsg->text(), QStringLiteral("连线装置")) << "the status panel is the one replaced";
}

TEST_F(Captions, WindowFontFollowsTheLanguage)
{
    const struct {
        int language;
        const char *family;
        int points;
        int charSet;
    } fonts[] = {{1, "宋体", 12, 134}, {2, "細明體", 12, 136}, {0, "MS Sans Serif", 10, 0}};
    for (const auto &f : fonts) {
        choose(f.language);
        const QFont font = window->font();
        EXPECT_EQ(font.family(), QString::fromUtf8(f.family));
        EXPECT_EQ(font.pointSize(), f.points);
        EXPECT_FALSE(font.bold());
        EXPECT_FALSE(font.italic());
        EXPECT_FALSE(font.underline());
        EXPECT_FALSE(font.strikeOut());
        EXPECT_EQ(window->palette().color(QPalette::WindowText), QColor(0, 0, 0));
        const LanguageFont &record = LanguageFontFor(f.language);
        EXPECT_EQ(record.name, QString::fromUtf8(f.family));
        EXPECT_EQ(record.charSet, f.charSet);
        EXPECT_EQ(record.pointSize, f.points);
        EXPECT_EQ(record.styleCode, 0);
        EXPECT_EQ(record.colour, 0u);
        // Controls without a font of their own follow the window.
        EXPECT_EQ(window->lblPort->font().family(), QString::fromUtf8(f.family));
        EXPECT_EQ(window->chkLoop->font().pointSize(), f.points);
        EXPECT_EQ(window->gbCommand->font().family(), QString::fromUtf8(f.family));
    }
}

TEST_F(Captions, ControlsWithTheirOwnFontKeepIt)
{
    for (int language : {1, 2, 0}) {
        choose(language);
        EXPECT_EQ(window->btnConnect->font().family(), QStringLiteral("MS Sans Serif"));
        EXPECT_EQ(window->btnConnect->font().pixelSize(), 19);
        EXPECT_TRUE(window->btnConnect->font().bold());
        EXPECT_EQ(window->btnSendCommandRTU->font().pixelSize(), 16);
        EXPECT_EQ(window->pnMsg->font().pixelSize(), 19);
        EXPECT_EQ(window->pnMsg->palette().color(QPalette::WindowText), QColor(255, 255, 0));
        EXPECT_EQ(window->pnVER->font().family(), QStringLiteral("Arial Narrow"));
        EXPECT_EQ(window->pnSetIDRange->font().pixelSize(), 11);
        EXPECT_EQ(window->mnuMain->font(), QApplication::font(window->mnuMain)) << "the menu bar keeps the system font";
    }
}

TEST_F(Captions, ChineseCaptionsHaveGlyphs)
{
    choose(2);
    const QFontMetrics metrics(window->btnConnect->font());
    EXPECT_TRUE(metrics.inFont(QChar(0x9023))) << "連 must render with a real glyph";
    choose(1);
    const QFontMetrics windowMetrics(window->lblPort->font());
    EXPECT_TRUE(windowMetrics.inFont(QChar(0x8FDE))) << "连 must render with a real glyph";
}

// The frame of each group box as its style paints it: the title sits on the top line, and
// no control inside touches any of the four lines, whatever the language's font.
TEST_F(Captions, GroupFramesClearTheControlsInEveryLanguage)
{
    for (int language : {0, 1, 2}) {
        choose(language);
        for (QGroupBox *box : window->findChildren<QGroupBox *>()) {
            SCOPED_TRACE(box->objectName().toStdString() + " in language " + std::to_string(language));
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QStyle *style = box->style();
            const QRect frame = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, box);
            const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
            const int line = 2; // the etched line
            const QRect lines[] = {
                {frame.left(), frame.top(), frame.width(), line},
                {frame.left(), frame.bottom() - line + 1, frame.width(), line},
                {frame.left(), frame.top(), line, frame.height()},
                {frame.right() - line + 1, frame.top(), line, frame.height()},
            };
            if (!box->title().isEmpty()) {
                EXPECT_LT(title.top(), frame.top()) << "the title reaches above the line";
                EXPECT_GT(title.bottom(), frame.top() + line - 1) << "and below it";
            }
            for (QWidget *child : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                for (const QRect &l : lines)
                    EXPECT_FALSE(child->geometry().intersects(l)) << child->objectName().toStdString();
            }
        }
    }
}

TEST(StyleCode, BitsGiveExactlyTheirAttributes)
{
    for (int code = 0; code <= 15; ++code) {
        QFont font;
        font.setBold(true);
        font.setItalic(true);
        applyStyleCode(font, code);
        EXPECT_EQ(font.bold(), (code & 1) != 0) << code;
        EXPECT_EQ(font.italic(), (code & 2) != 0) << code;
        EXPECT_EQ(font.underline(), (code & 4) != 0) << code;
        EXPECT_EQ(font.strikeOut(), (code & 8) != 0) << code;
    }
    for (int code : {-1, 16, 255, -100}) {
        QFont font;
        font.setItalic(true);
        font.setUnderline(true);
        applyStyleCode(font, code);
        EXPECT_TRUE(font.italic()) << code;
        EXPECT_TRUE(font.underline()) << code;
        EXPECT_FALSE(font.bold()) << code;
    }
}

TEST(StyleCode, ColourIsBlueGreenRed)
{
    EXPECT_EQ(colourFromBgr(0x000000), QColor(0, 0, 0));
    EXPECT_EQ(colourFromBgr(0x0000FF), QColor(255, 0, 0));
    EXPECT_EQ(colourFromBgr(0x800000), QColor(0, 0, 128));
}
