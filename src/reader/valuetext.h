#pragma once
// The reader's values as texts, both ways: UID formats, keypad, identity and register texts
// read from its blocks, and the command texts of the writes made to it.
#include "reader/cardreader.h"

#include <QString>
#include <cstdint>
#include <optional>

namespace relvix {

// The items of the UID format list, in list order.
inline constexpr const char *kUidFormatNames[] = {"8H10D", "6H8D", "8H", "6H", "5D,5D", "3D,5D", "16H", "32H"};
inline constexpr int kUidFormatCount = 8;

// The list position of a format name, exact and case-sensitive.
std::optional<int> UidFormatIndex(const QString &name);

// UID text from the UID block (d[0] first as received), for the format at `formatIndex` of
// the list and the state of the LSB box. An index outside the list gives "".
QString UidText(const DataBlock &uidBlock, int formatIndex, bool lsb);

// Keypad text from the keypad block: key values 1..9 as digits, 10 and above as "0",
// stopping at the first 0; with `hex`, all 16 bytes as hex and " (H)".
QString KeypadText(const DataBlock &keypadBlock, bool hex);

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
