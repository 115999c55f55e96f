// The settings store on arbitrary file contents, in memory. The input is the per-user file; its
// last byte chooses what the store does with it: a load, a language save, or a write of one value
// whose text is the input's first 256 bytes read as UTF-16 (any code unit, lone surrogates
// included). Aborts when
// - a load gives a language that is not one of the three or disagrees with its flag;
// - a file judged unusable loads as anything but the built-ins, or a save replaces it without a
//   .bad copy holding its exact bytes (or makes a copy of a usable one);
// - a save fails, or leaves a file that is not usable, or changes any value it did not write,
//   byte for byte, or a value it wrote does not load back exactly.
//
// With RELVIX_FUZZ_SETTINGS_QT=1 each input that keeps to what the store reads (no '%' escapes in
// names, no octal escapes, no line that runs on into the next, no byte-order mark, no zero byte)
// is also written to a file and read by QSettings, and every top-level text must agree with it
// (slow: for checking the reader against another Qt version).
#include "settings/inistore.h"
#include "settings/settings.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>

using namespace relvix;

namespace {

// The user file and its .bad copy; no machine-wide files.
class MemoryFiles final : public SettingsFiles {
public:
    QString userPath() override { return QStringLiteral("u"); }
    QStringList machinePaths() override { return {}; }
    Found read(const QString &path, qsizetype limit, QByteArray &bytes) override
    {
        if (path != userPath() || !hasUser)
            return Found::Missing;
        bytes = user.left(limit + 1);
        return Found::Read;
    }
    bool makeFolderFor(const QString &) override { return true; }
    bool replace(const QString &path, const QByteArray &bytes) override
    {
        if (path != userPath())
            std::abort();
        user = bytes;
        hasUser = true;
        return true;
    }
    bool keepAside(const QString &path) override
    {
        if (path != userPath() || !hasUser)
            std::abort();
        bad = user;
        ++copies;
        return true;
    }
    bool lock(const QString &) override { return true; }
    void unlock() override {}
    QByteArray user;
    bool hasUser = false;
    QByteArray bad;
    int copies = 0;
};

[[noreturn]] void fail(const char *what, const QByteArray &input)
{
    std::fprintf(stderr, "fuzz_settings: %s\ninput: %s\n", what, input.toHex().constData());
    std::abort();
}

std::tuple<Transport, QString, QString, QString, QString> linkOf(const StoredSettings &s)
{
    return {s.transport, s.portName, s.serialMode, s.peerAddress, s.peerPort};
}

void checkLanguage(const StoredSettings &s, const QByteArray &input)
{
    if (s.currentLanguage < 0 || s.currentLanguage > 2 || s.currentLanguage != LanguageForFlag(s.languageFlag))
        fail("the language disagrees with its flag", input);
}

// Whether a file keeps to what the store reads as Qt does (no '%' names, octal escapes, lines
// that run on, byte-order marks, zero bytes or typed forms): beyond it, the store keeps the line
// and reads it its own way.
bool withinTheSubset(const QByteArray &input)
{
    // Qt's typed forms are read as absent here and decoded there.
    if (input.contains('\0') || input.contains('%') || input.contains('@') || input.startsWith("\xEF\xBB\xBF"))
        return false;
    for (const QByteArray &line : input.split('\n')) {
        bool inQuotes = false;
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line[i] == '\r' && i + 1 < line.size())
                return false; // a lone carriage return: Qt's lines and ours may part
            if (line[i] == '\\') {
                if (++i >= line.size() || (line[i] >= '0' && line[i] <= '7') || line[i] == '\r')
                    return false;
            } else if (line[i] == '"') {
                inQuotes = !inQuotes;
            }
        }
        if (inQuotes)
            return false;
    }
    return true;
}

// The file as QSettings reads it must read the same here.
void compareWithQt(const QByteArray &input, const SettingsText &text)
{
    if (!withinTheSubset(input))
        return;
    static QTemporaryDir dir;
    static int serial = 0;
    // A fresh name each time: QSettings keeps parsed files by path.
    const QString path = dir.path() + QStringLiteral("/%1.conf").arg(serial++);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
            return;
    }
    {
        QSettings qt(path, QSettings::IniFormat);
        for (const QString &name : {settingname::Type, settingname::ComBaudRate, settingname::ComPortName,
                                    settingname::NetIP, settingname::NetPort, settingname::LanguageFlag}) {
            const QVariant value = qt.value(name);
            const std::optional<QString> expected =
                value.typeId() == QMetaType::QStringList ? std::optional(value.toStringList().join(u','))
                : value.typeId() == QMetaType::QString   ? std::optional(value.toString())
                                                         : std::nullopt;
            if (text.text(name) != expected)
                fail("a value differs from QSettings", input);
        }
    }
    QFile::remove(path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Nothing in the rules looks further than a line or two, and the unit tests cover long files
    // (80 KB, the 4 MiB limit) and long texts; longer inputs would only slow the search down.
    if (size > 1024)
        return 0;
    static const bool againstQt = qEnvironmentVariableIntValue("RELVIX_FUZZ_SETTINGS_QT") != 0;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const SettingsText judged(input);
    if (againstQt)
        compareWithQt(input, judged);

    auto files = std::make_shared<MemoryFiles>();
    files->user = input;
    files->hasUser = true;
    const auto store = makeIniSettingsStore(files);

    // The last byte chooses: a load, a language save, or one value written through the store.
    const int choice = size > 0 ? data[size - 1] % 3 : 0;
    if (choice == 0) {
        const StoredSettings loaded = LoadSettingsFrom(*store);
        checkLanguage(loaded, input);
        if (!judged.usable() && (linkOf(loaded) != linkOf(StoredSettings{}) || loaded.currentLanguage != 2))
            fail("an unusable file loaded as something", input);
        return 0;
    }

    static const QString kNames[] = {settingname::Type,  settingname::ComBaudRate, settingname::ComPortName,
                                     settingname::NetIP, settingname::NetPort,     settingname::LanguageFlag};
    const QString &name = choice == 1 ? settingname::LanguageFlag : kNames[data[0] % 6];
    QString text;
    if (choice == 1) {
        text = QStringLiteral("ChineseGB");
        if (!SaveLanguageTo(*store, text))
            fail("a language save failed", input);
    } else {
        // Any code units, lone surrogates included; TYPE as a number. The text is kept short so
        // that long inputs stay quick: the unit tests write texts of every length a field takes.
        const std::int32_t number = std::int32_t(size > 4 ? qFromUnaligned<std::uint32_t>(data + 1) : size);
        text = name == settingname::Type ? QString::number(number)
                                         : QString::fromUtf16(reinterpret_cast<const char16_t *>(data),
                                                              qsizetype(std::min<std::size_t>(size, 256) / 2));
        const bool written = store->openForWrite() && (name == settingname::Type ? store->writeInt(name, number)
                                                                                 : store->writeString(name, text));
        store->close();
        if (!written)
            fail("a write failed", input);
    }

    if (files->copies != (judged.usable() ? 0 : 1) || (!judged.usable() && files->bad != input))
        fail("an unusable file was not kept as it was, or a usable one was copied", input);
    // Every value but the one written is as it was, byte for byte; so a language save leaves the
    // link values loading as they did.
    const SettingsText saved(files->user);
    if (!saved.sameApartFrom(judged.usable() ? judged : SettingsText(), QStringList{name}))
        fail("a save left an unusable file or changed a value it did not write", input);

    // What was written loads back.
    QString stored;
    std::int32_t storedNumber = 0;
    const bool read =
        store->openForRead() &&
        (name == settingname::Type ? store->readInt(name, storedNumber) && QString::number(storedNumber) == text
                                   : store->readString(name, stored) && stored == text);
    store->close();
    if (!read)
        fail("a value written does not load back", input);
    return 0;
}
