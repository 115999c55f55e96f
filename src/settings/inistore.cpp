#include "settings/inistore.h"

namespace relvix {

namespace {

class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::shared_ptr<SettingsFiles> files) : files_(std::move(files)) {}
    ~IniSettingsStore() override { close(); }

    bool openForRead() override
    {
        close();
        failure_.clear();
        QByteArray bytes;
        const QString path = files_->userPath();
        switch (files_->read(path, SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            break;
        case SettingsFiles::Found::Read:
            user_.emplace(std::move(bytes));
            if (user_->usable())
                break;
            failure_ = QStringLiteral("%1 is not a settings file (a zero byte, or larger than %2 MB)")
                           .arg(path)
                           .arg(SettingsText::kLargest / (1024 * 1024));
            [[fallthrough]];
        case SettingsFiles::Found::Unreadable:
            // A user file that cannot be used counts as no key at all, defaults included.
            if (failure_.isEmpty())
                failure_ = files_->failure();
            user_.reset();
            return false;
        }
        for (const QString &machinePath : files_->machinePaths()) {
            if (files_->read(machinePath, SettingsText::kLargest, bytes) != SettingsFiles::Found::Read)
                continue;
            SettingsText text(std::move(bytes));
            if (text.usable())
                defaults_.push_back(std::move(text));
        }
        return user_ || !defaults_.empty();
    }

    bool openForWrite() override
    {
        close();
        failure_.clear();
        const QString path = files_->userPath();
        if (!files_->makeFolderFor(path))
            return fail();
        QByteArray bytes;
        if (files_->read(path, SettingsText::kLargest, bytes) == SettingsFiles::Found::Unreadable)
            return fail(); // what cannot be judged is never written over
        path_ = path;
        return true;
    }

    void close() override
    {
        user_.reset();
        defaults_.clear();
        path_.clear();
    }

    QString failure() const override { return failure_; }

    bool exists(const QString &name) override { return holder(name) != nullptr; }

    bool readInt(const QString &name, std::int32_t &value) override
    {
        const SettingsText *file = holder(name);
        bool ok = false;
        const qlonglong number = file ? file->text(name)->toLongLong(&ok, 10) : 0;
        // 32 bits, as a signed or unsigned number; kept as its two's-complement value.
        if (!ok || number < INT32_MIN || number > qlonglong(UINT32_MAX))
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
        return true;
    }

    bool readString(const QString &name, QString &value) override
    {
        const SettingsText *file = holder(name);
        if (!file)
            return false;
        value = *file->text(name);
        return true;
    }

    bool writeInt(const QString &name, std::int32_t value) override { return write(name, QString::number(value)); }
    bool writeString(const QString &name, const QString &value) override { return write(name, value); }

private:
    // Each value reaches the disk before the next is written, so a failure leaves the earlier
    // ones stored, as with a registry key. Under the lock the file is read afresh and only this
    // value changes in it: what another program saved meanwhile stays.
    bool write(const QString &name, const QString &text)
    {
        if (path_.isEmpty())
            return false;
        if (!files_->lock(path_))
            return fail();
        struct Unlock {
            SettingsFiles &files;
            ~Unlock() { files.unlock(); }
        } unlock{*files_};
        QByteArray bytes;
        SettingsText file;
        bool keepAside = false;
        switch (files_->read(path_, SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            break;
        case SettingsFiles::Found::Unreadable:
            return fail();
        case SettingsFiles::Found::Read:
            file = SettingsText(std::move(bytes));
            if (!file.usable()) {
                // Loading took it for a missing key; saving starts afresh, but keeps it aside.
                file = SettingsText();
                keepAside = true;
            }
            break;
        }
        // A value that already reads as this text keeps its bytes as the person wrote them.
        if (!keepAside && file.text(name) == text) {
            user_ = std::move(file);
            return true;
        }
        if (!file.setText(name, text)) {
            failure_ =
                QStringLiteral("%1 would grow past %2 MB").arg(path_).arg(SettingsText::kLargest / (1024 * 1024));
            return false;
        }
        if ((keepAside && !files_->keepAside(path_)) || !files_->replace(path_, file.bytes()))
            return fail();
        user_ = std::move(file);
        return true;
    }

    bool fail()
    {
        failure_ = files_->failure();
        return false;
    }

    const SettingsText *holder(const QString &name) const
    {
        if (user_ && user_->contains(name))
            return &*user_;
        for (const SettingsText &file : defaults_) {
            if (file.contains(name))
                return &file;
        }
        return nullptr;
    }

    std::shared_ptr<SettingsFiles> files_;
    std::optional<SettingsText> user_;
    std::vector<SettingsText> defaults_; // machine-wide, read only
    QString path_;                       // the user file, while open for writing
    QString failure_;                    // why the latest open or write failed
};

} // namespace

std::unique_ptr<SettingsStore> makeIniSettingsStore(std::shared_ptr<SettingsFiles> files)
{
    return std::make_unique<IniSettingsStore>(std::move(files));
}

} // namespace relvix
