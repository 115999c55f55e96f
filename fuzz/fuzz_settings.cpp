// The settings loader on arbitrary file contents: it never crashes, the language is always
// one of the three and agrees with the flag text, and saving the language afterwards leaves
// the link values loading as they did.
#include "shell/settings.h"
#include "shell/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace relvix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    static const bool once = [] {
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        return QDir(dir.path()).mkpath(QStringLiteral("Kavrel"));
    }();
    (void)once;
    const QString path = dir.path() + QStringLiteral("/Kavrel/Relvix.conf");
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    const StoredSettings loaded = LoadSettingsFrom(*makePlatformSettingsStore());
    if (loaded.currentLanguage < 0 || loaded.currentLanguage > 2)
        std::abort();
    if (loaded.currentLanguage != LanguageForFlag(loaded.languageFlag))
        std::abort();

    if (!SaveLanguageTo(*makePlatformSettingsStore(), QStringLiteral("ChineseGB")))
        return 0;
    const StoredSettings again = LoadSettingsFrom(*makePlatformSettingsStore());
    if (again.storedType != loaded.storedType || again.portName != loaded.portName ||
        again.serialMode != loaded.serialMode || again.peerAddress != loaded.peerAddress ||
        again.peerPort != loaded.peerPort) {
        std::fprintf(stderr, "before: %d %s|%s|%s|%s\nafter:  %d %s|%s|%s|%s\n", loaded.storedType,
                     qPrintable(loaded.portName), qPrintable(loaded.serialMode), qPrintable(loaded.peerAddress),
                     qPrintable(loaded.peerPort), again.storedType, qPrintable(again.portName),
                     qPrintable(again.serialMode), qPrintable(again.peerAddress), qPrintable(again.peerPort));
        std::abort();
    }
    return 0;
}
