#include "settingsstore.h"

#include "settings.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <vector>
#endif

namespace relvix {

#ifdef _WIN32

namespace {

// HKEY_LOCAL_MACHINE\Software\Kavrel\Relvix, shared by every user of the machine.
constexpr const char *kKeyPath = "Software\\Kavrel\\Relvix";
constexpr const char *kPortMapPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// KEY_ALL_ACCESS: the key is opened with full access for reading too, so a user without
// the rights to write it reads the built-ins, as on a machine without the key.
constexpr REGSAM kFullAccess = 0xF003F;

// Reads a REG_SZ or REG_EXPAND_SZ value (without expansion) up to its first zero byte.
bool queryString(HKEY key, const char *name, QString &value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (size == 0) {
        value.clear();
        return true;
    }
    QByteArray data(static_cast<qsizetype>(size) + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &got)
        != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    value = QString::fromLocal8Bit(data.constData()); // ends at the first zero byte
    return true;
}

class RegistrySettingsStore final : public SettingsStore {
public:
    ~RegistrySettingsStore() override { close(); }

    bool openForRead() override
    {
        close();
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, kFullAccess, &key_) == ERROR_SUCCESS)
            return true;
        key_ = nullptr;
        return false;
    }
    bool openForWrite() override
    {
        close();
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            kFullAccess, nullptr, &key_, &disposition)
            == ERROR_SUCCESS)
            return true;
        key_ = nullptr;
        return false;
    }
    void close() override
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }
    bool exists(const QString &name) override
    {
        return key_
            && RegQueryValueExA(key_, name.toLatin1().constData(), nullptr, nullptr, nullptr, nullptr)
                   == ERROR_SUCCESS;
    }
    bool readInt(const QString &name, std::int32_t &value) override
    {
        if (!key_)
            return false;
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        if (RegQueryValueExA(key_, name.toLatin1().constData(), nullptr, &type,
                             reinterpret_cast<LPBYTE>(&data), &size)
                != ERROR_SUCCESS
            || type != REG_DWORD)
            return false;
        value = static_cast<std::int32_t>(data);
        return true;
    }
    bool readString(const QString &name, QString &value) override
    {
        return key_ && queryString(key_, name.toLatin1().constData(), value);
    }
    bool writeInt(const QString &name, std::int32_t value) override
    {
        const DWORD data = static_cast<DWORD>(value);
        return key_
            && RegSetValueExA(key_, name.toLatin1().constData(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE *>(&data), sizeof data)
                   == ERROR_SUCCESS;
    }
    bool writeString(const QString &name, const QString &value) override
    {
        // The stored length counts the terminating zero byte.
        const QByteArray text = value.toLocal8Bit();
        return key_
            && RegSetValueExA(key_, name.toLatin1().constData(), 0, REG_SZ,
                              reinterpret_cast<const BYTE *>(text.constData()),
                              static_cast<DWORD>(text.size() + 1))
                   == ERROR_SUCCESS;
    }

private:
    HKEY key_ = nullptr;
};

} // namespace

std::unique_ptr<SettingsStore> makePlatformSettingsStore()
{
    return std::make_unique<RegistrySettingsStore>();
}

QStringList systemSerialPortNames()
{
    QStringList names;
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapPath, 0, KEY_READ, &map) != ERROR_SUCCESS)
        return names;
    DWORD count = 0;
    DWORD longestName = 0;
    if (RegQueryInfoKeyA(map, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longestName, nullptr, nullptr, nullptr)
        == ERROR_SUCCESS) {
        QByteArray valueName(static_cast<qsizetype>(longestName) + 1, '\0');
        for (DWORD index = 0; index < count; ++index) {
            DWORD length = longestName + 1;
            if (RegEnumValueA(map, index, valueName.data(), &length, nullptr, nullptr, nullptr, nullptr)
                != ERROR_SUCCESS)
                break;
            QString port;
            // A value that is not a string ends the listing; what was gathered stays.
            if (!queryString(map, valueName.constData(), port))
                break;
            names.append(port);
        }
    }
    RegCloseKey(map);
    return names;
}

#else // an INI file per user, with machine-wide defaults

namespace {

const QString kRelativePath = QStringLiteral("Kavrel/Relvix.conf");
// The file holds six short values; anything larger is not one of ours.
constexpr qint64 kLargestPlausibleFile = 64 * 1024;

QString userSettingsPath()
{
    // Looked up at every open, so a changed XDG_CONFIG_HOME takes effect at once.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
        + kRelativePath;
}

QStringList machineSettingsPaths()
{
    const QString userFolder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QStringList paths;
    for (const QString &folder : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        if (folder != userFolder)
            paths.append(folder + QLatin1Char('/') + kRelativePath);
    }
    return paths;
}

// Text that an INI reader can take without guessing: UTF-8, no control characters but
// tab and line ends, and every line empty, a comment, a [section] or a name=value pair.
bool isPlainIniText(const QByteArray &bytes)
{
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decode(bytes);
    if (decode.hasError())
        return false;
    for (const QChar c : text) {
        if (c.unicode() < 32 && c != QLatin1Char('\t') && c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            return false;
        if (c.unicode() == 0x7F)
            return false;
    }
    // The INI reader ends a line at a carriage return as well as at a line feed.
    static const QRegularExpression lineEnd(QStringLiteral("[\r\n]"));
    for (QString line : text.split(lineEnd)) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        // A section must close on its own line: the INI reader takes "[General" as a broken
        // section even when an '=' follows.
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                return false;
            continue;
        }
        // An empty name is allowed: a hand-written key ending in '/' is written back as a
        // group holding "=value", and the file must still read after such a save.
        if (line.contains(QLatin1Char('=')))
            continue;
        return false;
    }
    return true;
}

// Whether the INI reader itself parses these bytes without a format error. It reads a copy
// under a fresh name: QSettings keeps parsed files cached by path and does not parse an
// unchanged file again, so asking it about the real path twice can give two answers.
bool iniReaderAccepts(const QByteArray &bytes)
{
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/relvix-settings-XXXXXX.conf"));
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return false;
    QSettings probe(copy.fileName(), QSettings::IniFormat);
    (void)probe.allKeys();
    return probe.status() == QSettings::NoError;
}

enum class FileState { Missing, Usable, NotAFile, Unreadable, Corrupt };

FileState inspect(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return FileState::Missing;
    if (!info.isFile())
        return FileState::NotAFile;
    if (info.size() > kLargestPlausibleFile)
        return FileState::Corrupt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FileState::Unreadable;
    const QByteArray bytes = file.read(kLargestPlausibleFile + 1);
    if (file.error() != QFileDevice::NoError)
        return FileState::Unreadable;
    if (!isPlainIniText(bytes))
        return FileState::Corrupt;
    return iniReaderAccepts(bytes) ? FileState::Usable : FileState::Corrupt;
}

bool replaceWithEmptyFile(const QString &path)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.commit();
}

class IniSettingsStore final : public SettingsStore {
public:
    ~IniSettingsStore() override { close(); }

    bool openForRead() override
    {
        close();
        const QString path = userSettingsPath();
        switch (inspect(path)) {
        case FileState::Missing:
            break;
        case FileState::Usable:
            user_ = openFile(path);
            // A file that cannot be read whole counts as no key at all, defaults included.
            if (!user_)
                return false;
            break;
        default:
            return false;
        }
        for (const QString &machinePath : machineSettingsPaths()) {
            if (inspect(machinePath) != FileState::Usable)
                continue;
            if (auto file = openFile(machinePath))
                defaults_.push_back(std::move(file));
        }
        if (!user_ && defaults_.empty())
            return false;
        return true;
    }

    bool openForWrite() override
    {
        close();
        const QString path = userSettingsPath();
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        const FileState state = inspect(path);
        if (state == FileState::NotAFile || state == FileState::Unreadable)
            return false;
        // Loading took a corrupt file for a missing key; saving starts it afresh. The empty
        // file replaces it in one step, so there is never a moment without a file.
        if (state == FileState::Corrupt && !replaceWithEmptyFile(path))
            return false;
        auto file = std::make_unique<QSettings>(path, QSettings::IniFormat);
        // A crash or a full disk must never leave half a file: write a copy, then rename it.
        file->setAtomicSyncRequired(true);
        if (file->status() != QSettings::NoError)
            return false;
        user_ = std::move(file);
        writable_ = true;
        return true;
    }

    void close() override
    {
        user_.reset();
        defaults_.clear();
        writable_ = false;
    }

    bool exists(const QString &name) override { return holder(name) != nullptr; }

    bool readInt(const QString &name, std::int32_t &value) override
    {
        QSettings *file = holder(name);
        if (!file)
            return false;
        const QVariant stored = file->value(name);
        qlonglong number = 0;
        bool ok = false;
        switch (stored.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            number = stored.toLongLong(&ok);
            break;
        case QMetaType::QString:
            number = stored.toString().toLongLong(&ok, 10);
            break;
        default:
            return false; // lists, byte arrays and other typed values are not an integer
        }
        // 32 bits, as a signed or unsigned number; kept as its two's-complement value.
        if (!ok || number < INT32_MIN || number > qlonglong(UINT32_MAX))
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
        return true;
    }

    bool readString(const QString &name, QString &value) override
    {
        QSettings *file = holder(name);
        if (!file)
            return false;
        const QVariant stored = file->value(name);
        switch (stored.typeId()) {
        case QMetaType::QString:
            value = stored.toString();
            return true;
        case QMetaType::QStringList:
            // An unquoted text with commas, as in a serial mode written by hand
            // (ComBaudRate=19200,e,8,1), is read back as the text it was.
            value = stored.toStringList().join(QLatin1Char(','));
            return true;
        default:
            return false;
        }
    }

    bool writeInt(const QString &name, std::int32_t value) override
    {
        if (!writable_ || !user_)
            return false;
        user_->setValue(name, value);
        return commit();
    }

    bool writeString(const QString &name, const QString &value) override
    {
        if (!writable_ || !user_)
            return false;
        user_->setValue(name, value);
        return commit();
    }

private:
    static std::unique_ptr<QSettings> openFile(const QString &path)
    {
        auto file = std::make_unique<QSettings>(path, QSettings::IniFormat);
        if (file->status() != QSettings::NoError)
            return nullptr;
        return file;
    }

    // Each value reaches the disk before the next is written, so a failure leaves the earlier
    // ones stored, as with a registry key.
    bool commit()
    {
        user_->sync();
        return user_->status() == QSettings::NoError;
    }

    QSettings *holder(const QString &name) const
    {
        if (user_ && user_->contains(name))
            return user_.get();
        for (const auto &file : defaults_) {
            if (file->contains(name))
                return file.get();
        }
        return nullptr;
    }

    std::unique_ptr<QSettings> user_;
    std::vector<std::unique_ptr<QSettings>> defaults_; // machine-wide, read only
    bool writable_ = false;
};

} // namespace

std::unique_ptr<SettingsStore> makePlatformSettingsStore()
{
    return std::make_unique<IniSettingsStore>();
}

QStringList systemSerialPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        names.append(port.portName());
    return names;
}

#endif

} // namespace relvix
