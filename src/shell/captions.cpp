#include "captions.h"

#include "frmmodule.h"
#include "languagetable.h"
#include "settings/settings.h"
#include "settings/store.h"

namespace relvix {

namespace {

// One record per language. The Chinese names are the Windows fonts of those character
// sets: SimSun for GB2312, MingLiU for Big5.
const LanguageFont kLanguageFonts[kLanguageCount] = {
    {QStringLiteral("MS Sans Serif"), 0, 10, 0, 0x000000},
    {QStringLiteral("宋体"), 134, 12, 0, 0x000000},
    {QStringLiteral("細明體"), 136, 12, 0, 0x000000},
};

} // namespace

const LanguageFont &LanguageFontFor(int language)
{
    if (language < 0 || language >= kLanguageCount)
        language = 0;
    return kLanguageFonts[language];
}

QColor colourFromBgr(std::uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void applyStyleCode(QFont &font, int styleCode)
{
    if (styleCode < 0 || styleCode > 15)
        return;
    font.setBold((styleCode & 1) != 0);
    font.setItalic((styleCode & 2) != 0);
    font.setUnderline((styleCode & 4) != 0);
    font.setStrikeOut((styleCode & 8) != 0);
}

void installFontSubstitutions()
{
#ifndef _WIN32
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // Debian has none of the Windows fonts. WenQuanYi Micro Hei (fonts-wqy-microhei) carries
    // both Chinese scripts and narrow Latin letters close to MS Sans Serif's widths.
    const QString cjk = QStringLiteral("WenQuanYi Micro Hei");
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), cjk, QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("宋体"), {QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                                                        cjk, QStringLiteral("AR PL UMing CN")});
    QFont::insertSubstitutions(QStringLiteral("細明體"), {QStringLiteral("MingLiU"), QStringLiteral("Noto Sans CJK TC"),
                                                          cjk, QStringLiteral("AR PL UMing TW")});
    QFont::insertSubstitutions(QStringLiteral("Arial Narrow"), {QStringLiteral("Liberation Sans Narrow"),
                                                                QStringLiteral("DejaVu Sans Condensed"), cjk});
#endif
}

void TfrmModule::ApplyLanguageFont(QWidget *control)
{
    const LanguageFont &record = LanguageFontFor(currentLanguage);
    QFont font = control->font();
    font.setFamily(record.name);
    // The character set has no Qt counterpart: glyphs are chosen by the characters.
    font.setPointSize(record.pointSize);
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText, colourFromBgr(record.colour));
    control->setPalette(palette);
    applyStyleCode(font, record.styleCode);
    control->setFont(font);
}

void TfrmModule::FormShow()
{
    ApplyLanguageFont(this);

    mnuEnglish->setChecked(currentLanguage == 0);
    mnuSimplified->setChecked(currentLanguage == 1);
    mnuTraditional->setChecked(currentLanguage == 2);

    setWindowTitle(LanguageText(0));
    mnuLanguage->setTitle(LanguageText(4));
    // Each language item names itself in its own language, whatever the current one.
    mnuEnglish->setText(LanguageTextFor(English, 10));
    mnuSimplified->setText(LanguageTextFor(SimplifiedChinese, 10));
    mnuTraditional->setText(LanguageTextFor(TraditionalChinese, 10));
    mnuFile->setTitle(LanguageText(5));
    mnuFirmwareFile->setText(LanguageText(17));
    mnuAbout->setText(LanguageText(8));
    mnuExit->setText(LanguageText(9));
    pcPort->setTabText(pcPort->indexOf(tsNet), LanguageText(12));
    pcPort->setTabText(pcPort->indexOf(tsCom), LanguageText(11));
    lblPort->setText(LanguageText(14));
    lblNetPort->setText(LanguageText(14));
    lblSpeed->setText(LanguageText(13));
    pcMain->setTabText(pcMain->indexOf(tsTest), LanguageText(24));
    pcMain->setTabText(pcMain->indexOf(tsCommand), LanguageText(25));
    btnConnect->setText(LanguageText(18));
    btnSetID->setText(LanguageText(32));
    btnInitial->setText(LanguageText(41));
    btnReboot->setText(LanguageText(42));
    btnUID->setText(LanguageText(35));
    btnClearUID->setText(LanguageText(37));
    pnMsg->setText(LanguageText(3));
    chkLoop->setText(LanguageText(38));
    btnReadDiDo->setText(LanguageText(39));
    btnSetDo->setText(LanguageText(40));
    gbCommand->setTitle(LanguageText(25));
    lblCommandSend->setText(LanguageText(45) + QLatin1Char(':'));
    lblCommandRecv->setText(LanguageText(47));
    lblCommandTran->setText(LanguageText(46));
    btnSendCommandRTU->setText(LanguageText(45) + QStringLiteral("(RTU)"));
    captionTools();
}

void TfrmModule::mnuEnglishClick()
{
    currentLanguage = English;
    languageFlag = LanguageFlagFor(English);
    SaveLanguage();
    FormShow();
}

void TfrmModule::mnuSimplifiedClick()
{
    currentLanguage = SimplifiedChinese;
    languageFlag = LanguageFlagFor(SimplifiedChinese);
    SaveLanguage();
    FormShow();
}

void TfrmModule::mnuTraditionalClick()
{
    currentLanguage = TraditionalChinese;
    languageFlag = LanguageFlagFor(TraditionalChinese);
    SaveLanguage();
    FormShow();
}

} // namespace relvix
