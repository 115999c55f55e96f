// Settings folders and a settings store in memory for the shell's tests: each test gets its
// own folders, so nothing outside a temporary folder is read or written.
#pragma once
#include "settings/inistore.h"
#include "settings/store.h"
#include "support/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <variant>

// Texts in failure messages: readable, and short even when a text holds 32767 characters.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.left(60).toStdString() << (text.size() > 60 ? "\"..." : "\"");
}

namespace relvix::shelltest {

// Points the per-user and machine-wide configuration folders at fresh temporary folders.
class SettingsFolders {
public:
    SettingsFolders()
        : oldHome_(qgetenv("XDG_CONFIG_HOME")), hadHome_(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")),
          oldDirs_(qgetenv("XDG_CONFIG_DIRS")), hadDirs_(qEnvironmentVariableIsSet("XDG_CONFIG_DIRS"))
    {
        qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
        qputenv("XDG_CONFIG_DIRS", machine_.path().toUtf8());
        relvix::testing::clearPlatformSettings();
    }
    ~SettingsFolders()
    {
        restore("XDG_CONFIG_HOME", hadHome_, oldHome_);
        restore("XDG_CONFIG_DIRS", hadDirs_, oldDirs_);
    }

    QString userFolder() const { return home_.path() + QStringLiteral("/Kavrel"); }
    QString userFile() const { return userFolder() + QStringLiteral("/Relvix.conf"); }
    QString machineFile() const { return machine_.path() + QStringLiteral("/Kavrel/Relvix.conf"); }

    void writeUserFile(const QByteArray &bytes) const { write(userFile(), bytes); }
    void writeMachineFile(const QByteArray &bytes) const { write(machineFile(), bytes); }

    // Every value of the user file as text, read independently of the code under test.
    std::map<QString, QString> userValues() const
    {
        std::map<QString, QString> values;
        QSettings file(userFile(), QSettings::IniFormat);
        for (const QString &key : file.allKeys())
            values[key] = file.value(key).toString();
        return values;
    }

private:
    static void write(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    static void restore(const char *name, bool had, const QByteArray &value)
    {
        if (had)
            qputenv(name, value);
        else
            qunsetenv(name);
    }

    QTemporaryDir home_;
    QTemporaryDir machine_;
    QByteArray oldHome_;
    bool hadHome_;
    QByteArray oldDirs_;
    bool hadDirs_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const QByteArray &value)
        : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnvironment()
    {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

private:
    const char *name_;
    QByteArray old_;
    bool had_;
};

// A settings store in memory that records what is done to it.
struct FakeStoreState {
    using Value = std::variant<std::int32_t, QString>;
    bool keyExists = true;
    bool failOpenForWrite = false;
    QString failWriteOf; // the write of this name fails
    std::map<QString, Value> values;
    QStringList reads;
    QStringList writes; // "NAME=value" in order
    int opens = 0;
    int closes = 0;
};

class FakeStore final : public SettingsStore {
public:
    explicit FakeStore(std::shared_ptr<FakeStoreState> state) : s_(std::move(state)) {}
    bool openForRead() override
    {
        if (!s_->keyExists)
            return false;
        ++s_->opens;
        return true;
    }
    bool openForWrite() override
    {
        if (s_->failOpenForWrite)
            return false;
        ++s_->opens;
        s_->keyExists = true;
        return true;
    }
    void close() override { ++s_->closes; }
    bool exists(const QString &name) override { return s_->values.count(name) != 0; }
    bool readInt(const QString &name, std::int32_t &value) override
    {
        s_->reads << name;
        auto it = s_->values.find(name);
        if (it == s_->values.end() || !std::holds_alternative<std::int32_t>(it->second))
            return false;
        value = std::get<std::int32_t>(it->second);
        return true;
    }
    bool readString(const QString &name, QString &value) override
    {
        s_->reads << name;
        auto it = s_->values.find(name);
        if (it == s_->values.end() || !std::holds_alternative<QString>(it->second))
            return false;
        value = std::get<QString>(it->second);
        return true;
    }
    bool writeInt(const QString &name, std::int32_t value) override
    {
        s_->writes << name + QLatin1Char('=') + QString::number(value);
        if (name == s_->failWriteOf)
            return false;
        s_->values[name] = value;
        return true;
    }
    bool writeString(const QString &name, const QString &value) override
    {
        s_->writes << name + QLatin1Char('=') + value;
        if (name == s_->failWriteOf)
            return false;
        s_->values[name] = value;
        return true;
    }

private:
    std::shared_ptr<FakeStoreState> s_;
};

} // namespace relvix::shelltest
