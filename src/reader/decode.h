#pragma once
#include <QString>
#include <cstdint>

namespace relvix {

// The items of the UID format list, in list order.
inline constexpr const char *kUidFormatNames[] = {"8H10D", "6H8D", "8H", "6H", "5D,5D", "3D,5D", "16H", "32H"};
inline constexpr int kUidFormatCount = 8;

// UID text from the 16 bytes of the UID block (d[0] first as received), for the format at
// `formatIndex` of the list and the state of the LSB box. An index outside the list gives "".
QString UidText(const std::uint8_t *uidBlock, int formatIndex, bool lsb);

// Keypad text from the 16 bytes of the keypad block: key values 1..9 as digits, 10 and above
// as "0", stopping at the first 0; with `hex`, all 16 bytes as hex and " (H)".
QString KeypadText(const std::uint8_t *keypadBlock, bool hex);

// From an identity response (offsets 3..6 serial number, 7..8 version).
QString SerialNumberText(const std::uint8_t *response);
QString VersionText(const std::uint8_t *response);

// One register as four upper-case hex digits, high byte first.
QString RegisterText(std::uint8_t high, std::uint8_t low);

// The data text that writes a new slave address: "0100" and the address as four hex digits.
QString SetAddressDataText(int address);

} // namespace relvix
