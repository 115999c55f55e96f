// The settings files on disk: where they are, the lock, and the replace that keeps the old
// file whole until the new one is, with its owner.
#include "settings/inistore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace relvix {

namespace {

const QString kRelativePath = QStringLiteral("Kavrel/Relvix.conf");

QString userSettingsPath()
{
    // Looked up at every open, so a changed XDG_CONFIG_HOME takes effect at once.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + kRelativePath;
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

// Flushes what a folder holds (a rename into it) to the disk.
void syncFolderOf(const QString &path)
{
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A save run as root (sudo, to reach a serial port) made every file it wrote root's, and the
// user's next start read the built-ins and every later save failed. As root, a file that
// replaces another takes that one's owner and group, and a new file in a folder takes the
// folder's, so one root run leaves the user's files the user's. Other users cannot give files
// away, and need not.
void ownLike(int fd, const QString &model)
{
    if (::geteuid() != 0)
        return;
    struct stat st {};
    if (::stat(QFile::encodeName(model).constData(), &st) == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // A file system without owners (a FAT stick) keeps root's; nothing better can be done.
    }
}

void ownPathLike(const QString &path, const QString &model)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ownLike(fd, model);
        ::close(fd);
    }
}

// Where a save must write: a symbolic link is followed to the file it names (which need not
// exist yet), so that a Relvix.conf kept elsewhere and linked in stays where it is.
QString resolved(const QString &path)
{
    QString at = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            return at;
        at = info.symLinkTarget();
    }
    return path; // a loop: the rename then replaces the link itself, as before
}

// A save killed between making its new file and renaming it leaves that file behind, under the
// name QTemporaryFile gave it: the file's name, a dot and six letters or digits. The next save
// removes them; it holds the lock, so none of them is another save's work in progress. A name a
// person would give ("Relvix.conf.backup", all small letters) stays: one of the random names in
// 180 is of that kind too, and is left.
void removeLeftovers(const QString &target)
{
    const QFileInfo info(target);
    const QString stem = info.fileName() + QLatin1Char('.');
    QDir folder = info.absoluteDir();
    for (const QString &name : folder.entryList({stem + QStringLiteral("??????")}, QDir::Files | QDir::Hidden)) {
        const QStringView tail = QStringView(name).sliced(stem.size());
        const bool random =
            std::all_of(tail.begin(), tail.end(), [](QChar c) { return c.isLetterOrNumber() && c.unicode() < 0x80; }) &&
            std::any_of(tail.begin(), tail.end(), [](QChar c) { return !c.isLower(); });
        if (random)
            folder.remove(name);
    }
}

// Writes a new file beside target, from `fill`, and renames it to target once every byte is on
// the disk and reads back as `expected` (when given). False, with nothing changed, otherwise.
// The new file gets the mode, owner and group of the file it replaces, or those a new file in
// that folder should have.
bool writeThenRename(const QString &target, const std::function<bool(QFile &)> &fill, const QByteArray *expected,
                     QString &failure)
{
    QTemporaryFile file(target + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        failure = QStringLiteral("cannot make a new file beside %1: %2").arg(target, file.errorString());
        return false;
    }
    // QSaveFile::commit() reports success after a buffered write failed on a full disk; every
    // step here is checked instead.
    const bool existed = QFileInfo::exists(target);
    ownLike(file.handle(), existed ? target : QFileInfo(target).absolutePath());
    const bool written = fill(file) && file.flush() && ::fsync(file.handle()) == 0;
    const int writeError = errno;
    file.close();
    bool same = written && file.error() == QFileDevice::NoError;
    if (same && expected) {
        QFile back(file.fileName());
        same = back.open(QIODevice::ReadOnly) && back.readAll() == *expected && back.error() == QFileDevice::NoError;
    }
    if (!same) {
        failure = QStringLiteral("cannot write %1: %2")
                      .arg(target, file.error() != QFileDevice::NoError ? file.errorString() : systemWords(writeError));
        return false; // the temporary file removes itself
    }
    if (existed)
        QFile::setPermissions(file.fileName(), QFileInfo(target).permissions());
    if (std::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
        failure = QStringLiteral("cannot replace %1: %2").arg(target, systemWords(errno));
        return false;
    }
    file.setAutoRemove(false);
    syncFolderOf(target);
    return true;
}

// A lock that the system lets go of when its holder ends, however it ends: a save killed while
// it held the old lock file made the next one wait for it to turn stale, up to 10 s, and the
// window saves on its only thread. The file itself stays; only the lock on it comes and goes.
class FileLock {
public:
    // A save takes milliseconds; a holder that takes longer than this is hung or stopped.
    static constexpr int kWaitMs = 2000;

    ~FileLock() { release(); }

    bool take(const QString &path, QString &failure)
    {
        release();
        const QByteArray name = QFile::encodeName(path);
        const QString folder = QFileInfo(path).absolutePath();
        const QDeadlineTimer deadline(kWaitMs);
        bool replaced = false;
        for (;;) {
            int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EACCES)
                fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC); // flock needs no right to write
            if (fd < 0 && errno == EACCES && !replaced) {
                // Another user's lock file (left by an older version run as root) that this user
                // may not even read: the folder is the user's, so it is made anew.
                replaced = true;
                if (::unlink(name.constData()) == 0)
                    continue;
            }
            if (fd < 0) {
                failure = QStringLiteral("cannot open the lock file %1: %2").arg(path, systemWords(errno));
                return false;
            }
            ownLike(fd, folder);
            while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                    failure = errno == EWOULDBLOCK ? QStringLiteral("another program holds the lock %1 (waited %2 s)")
                                                         .arg(path)
                                                         .arg(kWaitMs / 1000)
                                                   : QStringLiteral("cannot lock %1: %2").arg(path, systemWords(errno));
                    ::close(fd);
                    return false;
                }
                // Asked every 10 ms rather than in a blocking call, so that the wait has its bound.
                QThread::msleep(10);
            }
            // The lock counts only on the file that has the name now: one removed and made anew
            // by another save (above) while this one waited is let go and the new one taken.
            struct stat held {
            }, named{};
            if (::fstat(fd, &held) == 0 && ::stat(name.constData(), &named) == 0 && held.st_ino == named.st_ino &&
                held.st_dev == named.st_dev) {
                fd_ = fd;
                return true;
            }
            ::close(fd);
        }
    }
    void release()
    {
        if (fd_ >= 0)
            ::close(fd_); // closing the only descriptor lets the lock go
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Makes the folders up to path's, each, as root, owned like the folder it is made in.
bool makeFolders(const QString &folder)
{
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo(at).exists()) {
        missing.prepend(at);
        const QString parent = QFileInfo(at).absolutePath();
        if (parent == at)
            break;
        at = parent;
    }
    for (const QString &made : std::as_const(missing)) {
        if (!QDir().mkdir(made) && !QFileInfo(made).isDir())
            return false;
        ownPathLike(made, QFileInfo(made).absolutePath());
    }
    return QFileInfo(folder).isDir();
}

class DiskSettingsFiles final : public SettingsFiles {
public:
    QString userPath() override { return userSettingsPath(); }
    QStringList machinePaths() override { return machineSettingsPaths(); }
    Found read(const QString &path, qsizetype limit, QByteArray &bytes) override
    {
        const QFileInfo info(path);
        if (!info.exists())
            return Found::Missing; // a link to a file not yet made too: a save makes it there
        if (!info.isFile()) {
            failure_ = QStringLiteral("%1 is not a file").arg(path);
            return Found::Unreadable;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            failure_ = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return Found::Unreadable;
        }
        bytes = file.read(limit + 1);
        if (file.error() == QFileDevice::NoError)
            return Found::Read;
        failure_ = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return Found::Unreadable;
    }
    bool makeFolderFor(const QString &path) override
    {
        const QString folder = QFileInfo(path).absolutePath();
        if (makeFolders(folder))
            return true;
        failure_ = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    bool replace(const QString &path, const QByteArray &bytes) override
    {
        const QString target = resolved(path);
        removeLeftovers(target);
        return writeThenRename(
            target, [&bytes](QFile &file) { return file.write(bytes) == bytes.size(); }, &bytes, failure_);
    }
    bool keepAside(const QString &path) override
    {
        const QString source = resolved(path);
        QString target = path + QStringLiteral(".bad");
        for (int n = 1; QFileInfo(target).exists() && !QFileInfo(target).isFile(); ++n) {
            if (n > 9) {
                failure_ = QStringLiteral("no free name to keep %1 aside").arg(path);
                return false;
            }
            target = path + QStringLiteral(".bad.%1").arg(n);
        }
        // A second name for the same bytes costs no room on a full disk; where the file system
        // has no such names, a copy is streamed, for the file may be of any size.
        const QString linked = target + QStringLiteral(".new");
        QFile::remove(linked);
        if (::link(QFile::encodeName(source).constData(), QFile::encodeName(linked).constData()) == 0) {
            if (std::rename(QFile::encodeName(linked).constData(), QFile::encodeName(target).constData()) == 0) {
                syncFolderOf(target);
                return true;
            }
            failure_ = QStringLiteral("cannot keep %1 aside: %2").arg(path, systemWords(errno));
            QFile::remove(linked);
            return false;
        }
        QFile from(source);
        if (!from.open(QIODevice::ReadOnly)) {
            failure_ = QStringLiteral("cannot read %1: %2").arg(source, from.errorString());
            return false;
        }
        const qint64 size = from.size();
        return writeThenRename(
            target,
            [&from, size](QFile &file) {
                qint64 copied = 0;
                while (!from.atEnd()) {
                    const QByteArray chunk = from.read(64 * 1024);
                    if (from.error() != QFileDevice::NoError || file.write(chunk) != chunk.size())
                        return false;
                    copied += chunk.size();
                }
                return copied == size;
            },
            nullptr, failure_);
    }
    bool lock(const QString &path) override { return lock_.take(path + QStringLiteral(".lock"), failure_); }
    void unlock() override { lock_.release(); }
    QString failure() const override { return failure_; }

private:
    FileLock lock_;
    QString failure_;
};

} // namespace

std::unique_ptr<SettingsStore> makePlatformSettingsStore()
{
    return makeIniSettingsStore(std::make_shared<DiskSettingsFiles>());
}

} // namespace relvix
