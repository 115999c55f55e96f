#pragma once
// The settings store of Linux and other systems without the registry: an INI file per user,
// with machine-wide defaults.
#include "settings/settingstext.h"
#include "settings/store.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace relvix {

// Where the settings files are and how they are read and written, apart so that the store's
// rules also run in memory.
class SettingsFiles {
public:
    virtual ~SettingsFiles() = default;
    // The per-user file, and the machine-wide files that fill in what it lacks, first one first.
    // Asked at every open.
    virtual QString userPath() = 0;
    virtual QStringList machinePaths() = 0;
    enum class Found { Missing, Read, Unreadable };
    // Reads up to limit + 1 bytes. Unreadable covers anything that is there but cannot be read
    // as a file (a folder, no permission, an I/O error).
    virtual Found read(const QString &path, qsizetype limit, QByteArray &bytes) = 0;
    virtual bool makeFolderFor(const QString &path) = 0;
    // Replaces the file in one step, and only once every byte of the new one is written and
    // read back: a crash, a full disk or a failed write leaves the old file as it was.
    virtual bool replace(const QString &path, const QByteArray &bytes) = 0;
    // Keeps the file as it is under path + ".bad" (one copy, the latest), or under the first of
    // ".bad.1" to ".bad.9" that is free where that name is taken by something else (a folder).
    virtual bool keepAside(const QString &path) = 0;
    // Held while a save re-reads and rewrites the file, so that two programs saving at once
    // each keep the other's values. False when it cannot be had within about 2 s. On disk it is
    // a lock on path + ".lock", which stays, and which the system lets go of when its holder
    // ends, however it ends.
    virtual bool lock(const QString &path) = 0;
    virtual void unlock() = 0;
    // Why the latest read, folder, replace, keepAside or lock failed, in words.
    virtual QString failure() const { return {}; }
};

// The INI store over the given files; on disk, the per-user file is
// $XDG_CONFIG_HOME/Kavrel/Relvix.conf and the machine-wide ones are in the other configuration
// folders. A user file that is not usable reads as no key, and the save that replaces it first
// keeps it aside. Nothing is written over a file that cannot be read. On disk, a save run as
// root keeps the owner and group of the file it replaces (a new file or folder gets those of
// the folder it is made in), a symbolic link is written through to the file it names, and the
// new files that a killed save left are removed.
std::unique_ptr<SettingsStore> makeIniSettingsStore(std::shared_ptr<SettingsFiles> files);

} // namespace relvix
