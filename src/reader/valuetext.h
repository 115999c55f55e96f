#pragma once
// The reader's values as texts, both ways: UID formats, keypad, identity and register texts
// read from its blocks, and the command texts of the writes made to it.
#include "reader/cardreader.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <iterator>
#include <optional>

namespace relvix {

// The UID formats, in the order of the window's list and of the command line's help. A format
// reads `bytes` bytes of the UID block from the first on (last first where reversed), and shows
// them as hex digits and " (H)", or as one or two zero-padded decimal numbers: the first made of
// the first `split` bytes (all of them when 0), the second of the rest, after a comma.
struct UidFormat {
    const char *name;
    int bytes;
    bool reversedByDefault; // the comma formats read last-first while the LSB box is clear
    bool hex;
    int split;
    int digits[2];
};
inline constexpr UidFormat kUidFormats[] = {
    {"8H10D", 4, false, false, 0, {10, 0}}, {"6H8D", 3, false, false, 0, {8, 0}}, {"8H", 4, false, true, 0, {}},
    {"6H", 3, false, true, 0, {}},          {"5D,5D", 4, true, false, 2, {5, 5}}, {"3D,5D", 3, true, false, 1, {3, 5}},
    {"16H", 8, false, true, 0, {}},         {"32H", 16, false, true, 0, {}},
};
inline constexpr int kUidFormatCount = int(std::size(kUidFormats));

// The names of the formats, in list order.
QStringList UidFormatNames();

// The list position of a format name, exact and case-sensitive.
std::optional<int> UidFormatIndex(const QString &name);

// UID text from the UID block (d[0] first as received), for the format at `formatIndex` of
// the list and the state of the LSB box. An index outside the list gives "".
QString UidText(const DataBlock &uidBlock, int formatIndex, bool lsb);

// Keypad text from the keypad block: key values 1..9 as digits, 10 and above as "0",
// stopping at the first 0; with `hex`, all 16 bytes as hex and " (H)".
QString KeypadText(const DataBlock &keypadBlock, bool hex);

// "0012ABCD" and "1A05": eight and four hex digits, as the command line and the finder give
// them.
QString SerialNumberDigits(const Identity &identity);
QString VersionDigits(const Identity &identity);
// "S/N : 0012ABCD" and "VER : 1A05".
QString SerialNumberText(const Identity &identity);
QString VersionText(const Identity &identity);

// One register as four upper-case hex digits: 0x00A5 -> "00A5".
QString RegisterText(std::uint16_t value);

// Command texts of a single-register write, as the raw command page takes them: "06", and
// the register and value as four hex digits each (new address 5: "01000005").
QString WriteFunctionText();
QString WriteDataText(std::uint16_t registerAddress, std::uint16_t value);

} // namespace relvix
