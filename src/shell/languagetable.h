#pragma once
#include <QString>

namespace relvix {

// Columns of the language table; the value is also the current language.
enum Language : int { English = 0, SimplifiedChinese = 1, TraditionalChinese = 2 };

constexpr int kLanguageCount = 3;
constexpr int kLanguageRows = 64;

// Rows that operations show outside the caption pass.
namespace row {
constexpr int ConnectingDevice = 19;
constexpr int ConnectDeviceError = 20;
constexpr int CommandOk = 22;
constexpr int CommandError = 23;
constexpr int SetId = 32;
constexpr int ReadData = 35;
constexpr int Cancel = 36;
constexpr int SetFactory = 41;
constexpr int SetReboot = 42;
constexpr int AreYouSure = 63;
} // namespace row

// The text of one row (0..63) in one column (0..2); empty outside the table.
QString LanguageTextFor(int language, int row);

// The stored flag that goes with a language: "English", "ChineseGB", "ChineseBIG5".
QString LanguageFlagFor(int language);

} // namespace relvix
