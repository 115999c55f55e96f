#pragma once
#include <QColor>
#include <QFont>
#include <QString>
#include <cstdint>

namespace relvix {

// The font that goes with a language.
struct LanguageFont {
    QString name;
    // Windows font character set (0 ANSI, 134 GB2312, 136 Big5). Qt picks glyphs by the
    // characters themselves, so this is kept for the Windows font only.
    std::uint8_t charSet;
    int pointSize;
    // Bits: 0 bold, 1 italic, 2 underline, 3 strike-out. Outside 0..15 the style is left alone.
    int styleCode;
    std::uint32_t colour; // 0x00BBGGRR
};

const LanguageFont &LanguageFontFor(int language);

// 0x00BBGGRR as a colour.
QColor colourFromBgr(std::uint32_t bgr);

// Sets exactly the attributes of a style code from 0 to 15; any other code leaves the font alone.
void applyStyleCode(QFont &font, int styleCode);

// Maps the Windows font names the window asks for onto fonts a Linux desktop has, so the
// Chinese captions show real glyphs. Safe to call more than once.
void installFontSubstitutions();

} // namespace relvix
