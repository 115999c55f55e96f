// The per-user settings file with machine-wide defaults, in temporary folders.
#include "settings/settings.h"
#include "support/settingsfixture.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <csignal>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

// Bytes of a literal, embedded zeros included.
template <std::size_t N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

class SettingsFile : public ::testing::Test {
protected:
    SettingsFolders folders;
    std::unique_ptr<SettingsStore> store = makePlatformSettingsStore();

    QString readString(const QString &name)
    {
        QString value;
        EXPECT_TRUE(store->readString(name, value)) << name.toStdString();
        return value;
    }
    QByteArray rawUserFile() const
    {
        QFile file(folders.userFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

} // namespace

namespace {

// The five values a link save writes, as a load returns them.
std::tuple<Transport, QString, QString, QString, QString> linkOf(const StoredSettings &s)
{
    return {s.transport, s.portName, s.serialMode, s.peerAddress, s.peerPort};
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How QSettings reads the user file now. It reads a copy under a name of its own: QSettings
// trusts what it parsed before for a file of the same path, size and time.
std::unique_ptr<QSettings> qtReading(const SettingsFolders &folders)
{
    static int copies = 0;
    const QString copy = folders.userFolder() + QStringLiteral("/qt%1.conf").arg(copies++);
    EXPECT_TRUE(QFile::copy(folders.userFile(), copy));
    return std::make_unique<QSettings>(copy, QSettings::IniFormat);
}

// Where two texts part, for a readable failure with texts of 32767 characters.
std::string firstDifference(const QString &a, const QString &b)
{
    qsizetype i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size())
        return "same";
    const auto unit = [](const QString &s, qsizetype at) {
        return at < s.size() ? QString::number(s[at].unicode(), 16).toStdString() : std::string("end");
    };
    return "at " + std::to_string(i) + ": " + unit(a, i) + " vs " + unit(b, i);
}

} // namespace

TEST_F(SettingsFile, NoFileMeansNoKey)
{
    EXPECT_FALSE(store->openForRead());
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.currentLanguage, 2);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_FALSE(QFile::exists(folders.userFile())) << "reading never creates the file";
}

TEST_F(SettingsFile, WriteCreatesTheFolderAndFileThenReadsBack)
{
    ASSERT_TRUE(store->openForWrite());
    EXPECT_TRUE(store->writeInt(QStringLiteral("TYPE"), 1));
    EXPECT_TRUE(store->writeString(QStringLiteral("NetPort"), QStringLiteral("4001")));
    EXPECT_TRUE(store->writeString(QStringLiteral("ComBaudRate"), QStringLiteral("19200,e,8,1")));
    store->close();
    EXPECT_TRUE(QFile::exists(folders.userFile()));
    // Integers are stored as numbers, texts as texts.
    EXPECT_TRUE(rawUserFile().contains("TYPE=1\n"));
    EXPECT_TRUE(rawUserFile().contains("NetPort=4001\n"));

    ASSERT_TRUE(store->openForRead());
    std::int32_t type = 0;
    EXPECT_TRUE(store->readInt(QStringLiteral("TYPE"), type));
    EXPECT_EQ(type, 1);
    EXPECT_EQ(readString(QStringLiteral("NetPort")), QStringLiteral("4001"));
    EXPECT_EQ(readString(QStringLiteral("ComBaudRate")), QStringLiteral("19200,e,8,1"));
    EXPECT_FALSE(store->exists(QStringLiteral("NetIP")));
    store->close();
}

TEST_F(SettingsFile, TextsRoundTripExactly)
{
    const QStringList texts{QStringLiteral("19200,e,8,1"), QStringLiteral(" padded "),   QStringLiteral(""),
                            QStringLiteral("a;b=c"),       QStringLiteral("@literal"),   QStringLiteral("\"quoted\""),
                            QStringLiteral("連線裝置"),    QStringLiteral("back\\slash")};
    ASSERT_TRUE(store->openForWrite());
    for (int i = 0; i < texts.size(); ++i)
        ASSERT_TRUE(store->writeString(QStringLiteral("V%1").arg(i), texts[i]));
    store->close();
    ASSERT_TRUE(store->openForRead());
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(readString(QStringLiteral("V%1").arg(i)), texts[i]);
    store->close();
}

TEST_F(SettingsFile, SerialModeWrittenByHandWithoutQuotesReadsAsText)
{
    folders.writeUserFile("[General]\nComBaudRate=19200,e,8,1\nComPortName=ttyUSB0\n");
    ASSERT_TRUE(store->openForRead());
    EXPECT_EQ(readString(QStringLiteral("ComBaudRate")), QStringLiteral("19200,e,8,1"));
    store->close();
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("ttyUSB0"));
}

// Found by fuzzing: a stray '/' in a hand-written name made the next save write a line
// "=value", which the following start took for a corrupt file, losing every setting.
TEST_F(SettingsFile, ALanguageSaveKeepsAFileWithOddNamesReadable)
{
    folders.writeUserFile("[General]\nTYPE=1\nComPortName=ttyUSB1\nNetI/=127.0.0.1\nNetPort=4001\n");
    ASSERT_EQ(LoadSettingsFrom(*store).transport, Transport::Tcp);
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.portName, QStringLiteral("ttyUSB1"));
    EXPECT_EQ(s.currentLanguage, 1);
}

// A line the reader cannot place (no '=', a section without its bracket) used to make the whole
// file count as no settings, and the next save moved it aside. What parses is read, as Qt's
// reader reads it, and the rest stays, byte for byte, through a save.
TEST_F(SettingsFile, WhatParsesIsReadAndTheRestStays)
{
    const struct {
        QByteArray file;
        Transport transport;
        QString address;
    } cases[] = {
        {"[General]\nTYPE=1\nthis line is no setting\nNetIP=127.0.0.1\n", Transport::Tcp, "127.0.0.1"},
        {"[General]\nTYPE=1\n\x01\x02\x03\xff\xfe", Transport::Tcp, "192.168.1.101"},
        {"[General\nTYPE=1\nNetIP=127.0.0.2\n", Transport::Tcp, "127.0.0.2"}, // the section runs to the line's end
        // The section "Genera=19200,e,8,1" holds NetIP; TYPE stands before it.
        {"[General]\nTYPE=1\n[Genera=19200,e,8,1\nNetIP=127.0.0.1\n", Transport::Tcp, "192.168.1.101"},
        {"[General]\nTYPE=1\nNetIP=127.0.0.1\r\t[er\n", Transport::Tcp, "127.0.0.1"},
    };
    for (const auto &c : cases) {
        folders.writeUserFile(c.file);
        const StoredSettings before = LoadSettingsFrom(*store);
        EXPECT_EQ(before.transport, c.transport) << c.file.toStdString();
        EXPECT_EQ(before.peerAddress, c.address) << c.file.toStdString();
        EXPECT_EQ(before.currentLanguage, 0) << "the key is there: English";
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_TRUE(rawUserFile().startsWith(c.file)) << c.file.toStdString();
        const StoredSettings after = LoadSettingsFrom(*store);
        EXPECT_EQ(linkOf(after), linkOf(before));
        EXPECT_EQ(after.currentLanguage, 1);
        EXPECT_FALSE(QFile::exists(folders.userFile() + QStringLiteral(".bad")));
    }
}

TEST_F(SettingsFile, TypeThatIsNotAnIntegerIsTheWrongType)
{
    for (const char *text : {"abc", "1.5", "", "1x", "\"\"", "99999999999"}) {
        folders.writeUserFile(QByteArray("[General]\nTYPE=") + text + "\nLanguageFlag=English\n");
        ASSERT_TRUE(store->openForRead()) << text;
        std::int32_t type = 42;
        EXPECT_FALSE(store->readInt(QStringLiteral("TYPE"), type)) << text;
        store->close();
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(s.transport, Transport::Serial) << text;
        EXPECT_EQ(s.currentLanguage, 2) << text;
    }
}

TEST_F(SettingsFile, IntegersAreThirtyTwoBits)
{
    folders.writeUserFile("[General]\nA=-1\nB=4294967295\nC=7\n");
    ASSERT_TRUE(store->openForRead());
    std::int32_t value = 0;
    EXPECT_TRUE(store->readInt(QStringLiteral("A"), value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(store->readInt(QStringLiteral("B"), value));
    EXPECT_EQ(value, -1) << "an unsigned 32-bit value reads as its signed twin";
    EXPECT_TRUE(store->readInt(QStringLiteral("C"), value));
    EXPECT_EQ(value, 7);
    store->close();
}

// Qt's typed forms are not ours: the value reads as absent, the load goes on, and the line stays.
TEST_F(SettingsFile, TypedValuesReadAsAbsent)
{
    const QByteArray file = "[General]\nNetIP=@ByteArray(abc)\nNetPort=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n"
                            "ComPortName=@@ttyUSB0\nLanguageFlag=ChineseGB\n";
    folders.writeUserFile(file);
    ASSERT_TRUE(store->openForRead());
    QString text;
    EXPECT_FALSE(store->exists(QStringLiteral("NetIP")));
    EXPECT_FALSE(store->readString(QStringLiteral("NetPort"), text));
    store->close();
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(s.portName, QStringLiteral("@ttyUSB0"));
    EXPECT_EQ(s.currentLanguage, 1);
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_TRUE(rawUserFile().startsWith(file.left(file.indexOf("LanguageFlag"))));
}

TEST_F(SettingsFile, CorruptFileCountsAsNoKey)
{
    const QByteArray corrupt[] = {
        bytes("[General]\nTYPE=1\nLanguageFlag=English\n\x01\x02\0\xff\xfe"),
        bytes("[General]\nTYPE=1\n\0\0\0\0"), // zeros where a crash lost a block
        "[General]\nTYPE=1\nNetIP=" + QByteArray(4 * 1024 * 1024, '1') + "\n",
    };
    for (const QByteArray &bytes : corrupt) {
        folders.writeUserFile(bytes);
        EXPECT_FALSE(store->openForRead()) << bytes.toHex().toStdString();
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(s.transport, Transport::Serial);
        EXPECT_EQ(s.currentLanguage, 2);
        EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
        EXPECT_EQ(s.portName, QStringLiteral("COM3"));
    }
}

TEST_F(SettingsFile, CorruptFileIsReplacedByTheNextSave)
{
    folders.writeUserFile(bytes("[General]\nTYPE=1\n\0\x02garbage\n"));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const auto values = folders.userValues();
    EXPECT_EQ(values.size(), 1u);
    EXPECT_EQ(values.at(QStringLiteral("LanguageFlag")), QStringLiteral("ChineseGB"));
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.currentLanguage, 1);
    EXPECT_EQ(s.transport, Transport::Serial);
}

TEST_F(SettingsFile, UnreadableFileCountsAsNoKey)
{
    // A folder where the file should be cannot be read by anyone, root included.
    ASSERT_TRUE(QDir().mkpath(folders.userFile()));
    EXPECT_FALSE(store->openForRead());
    EXPECT_EQ(LoadSettingsFrom(*store).languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_FALSE(store->openForWrite());
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("English")));
}

TEST_F(SettingsFile, UnwritableFolderFailsTheOpenForWriting)
{
    // A plain file where the folder should be: nothing can be created below it.
    folders.writeUserFile("");
    QFile::remove(folders.userFile());
    QDir().rmdir(folders.userFolder());
    {
        QFile blocker(folders.userFolder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    EXPECT_FALSE(store->openForWrite());
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_FALSE(store->openForRead());
}

TEST_F(SettingsFile, ReadOnlyFileFailsTheWriteWithoutHarm)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    folders.writeUserFile("[General]\nLanguageFlag=English\n");
    QFile::setPermissions(folders.userFolder(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    QFile::setPermissions(folders.userFolder(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(folders.userValues().at(QStringLiteral("LanguageFlag")), QStringLiteral("English"));
}

TEST_F(SettingsFile, WritesLeaveOnlyTheFinishedFile)
{
    ASSERT_TRUE(SaveLinkSettingsTo(*store, [] {
        return LinkSettingsRecord{Transport::Serial, QStringLiteral("4001"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("19200,e,8,1"), QStringLiteral("COM3")};
    }));
    QStringList names;
    QDirIterator it(folders.userFolder(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        names << it.fileName();
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Relvix.conf"), QStringLiteral("Relvix.conf.lock")}))
        << "no temporary copy is left behind; the lock file stays";
}

TEST_F(SettingsFile, MachineWideDefaultsFillWhatTheUserFileLacks)
{
    folders.writeMachineFile("[General]\nTYPE=1\nNetIP=127.0.0.2\nNetPort=5020\n");
    // No user file yet: the machine file alone is the key.
    StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(s.currentLanguage, 0) << "a key without LanguageFlag is English";

    folders.writeUserFile("[General]\nNetIP=127.0.0.1\nLanguageFlag=ChineseGB\n");
    s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.peerPort, QStringLiteral("5020"));
    EXPECT_EQ(s.currentLanguage, 1);

    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    QSettings machine(folders.machineFile(), QSettings::IniFormat);
    EXPECT_FALSE(machine.contains(QStringLiteral("LanguageFlag"))) << "writes go to the user file only";
}

TEST_F(SettingsFile, CorruptMachineFileIsIgnored)
{
    folders.writeMachineFile(bytes("TYPE=1\n\0\x02"));
    EXPECT_FALSE(store->openForRead());
    folders.writeUserFile("[General]\nNetPort=1\n");
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Serial);
    EXPECT_EQ(s.peerPort, QStringLiteral("1"));
}

TEST_F(SettingsFile, TheFileIsFoundAgainAtEachOpen)
{
    folders.writeUserFile("[General]\nLanguageFlag=ChineseGB\n");
    EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);
    {
        SettingsFolders other; // another XDG_CONFIG_HOME for the same store object
        EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 2);
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
        EXPECT_TRUE(QFile::exists(other.userFile()));
    }
    EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);
}

// Nothing a person stored is lost: one test per way a good file used to be destroyed.

// A full or unwritable temporary folder, common on small field laptops, made a good file count
// as corrupt: the start used the built-ins and the next language change dropped the link values.
TEST_F(SettingsFile, AFullTemporaryFolderChangesNothing)
{
    folders.writeUserFile("[General]\nTYPE=1\nComBaudRate=9600,n,8,1\nComPortName=ttyUSB0\nNetIP=127.0.0.1\n"
                          "NetPort=502\nLanguageFlag=English\n");
    ScopedEnvironment tmp("TMPDIR", folders.userFile().toUtf8()); // a file: nothing can be made in it
    const StoredSettings before = LoadSettingsFrom(*store);
    EXPECT_EQ(linkOf(before),
              linkOf(StoredSettings{QStringLiteral("ttyUSB0"), QStringLiteral("9600,n,8,1"), QStringLiteral("502"),
                                    QStringLiteral("127.0.0.1"), 0, QString(), Transport::Tcp}));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const StoredSettings after = LoadSettingsFrom(*store);
    EXPECT_EQ(linkOf(after), linkOf(before));
    EXPECT_EQ(after.currentLanguage, 1);
}

// Whatever a field takes, a save writes and the next start reads back: every UTF-16 code unit
// (DEL was written raw and then judged corrupt), at the line edit's limit of 32767 characters.
TEST_F(SettingsFile, EveryTextAFieldTakesLoadsBackAfterASave)
{
    constexpr int kFieldLimit = 32767;
    QString lowUnits, highUnits, lastUnits;
    for (int unit = 0; unit <= 0xFFFF; ++unit)
        (unit < kFieldLimit ? lowUnits : unit < 2 * kFieldLimit ? highUnits : lastUnits).append(QChar(char16_t(unit)));
    const auto text = [](const char16_t *units) { return QString::fromUtf16(units); };
    const struct {
        const char *what;
        QString port, mode, address, netPort;
    } cases[] = {
        {"every code unit, at the limit", lowUnits, highUnits, lastUnits, QString(kFieldLimit, QChar(0x7F))},
        {"controls", text(u"COM\x7f"),
         text(u"\x01"
              u"9600\x1f"),
         text(u"\x7f"), text(u"\t502\r\n")},
        {"the file's own syntax", text(u"[General]"), text(u"#x;y=z,\"\\"), text(u"@String(a)"), text(u" @@ ")},
        {"escape then digit", QString(QChar(0)) + u'1',
         text(u"\x85"
              u"f"),
         text(u"\x7f"
              u"7"),
         QString()},
        {"beyond ASCII", text(u"連線裝置"), text(u"😀"),
         text(u"\xd800"
              u"1"),
         text(u"é\xdfff")},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(SaveLinkSettingsTo(*store, [&c] {
            return LinkSettingsRecord{Transport::Serial, c.netPort, c.address, c.mode, c.port};
        })) << c.what;
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(firstDifference(s.portName, c.port), "same") << c.what;
        EXPECT_EQ(firstDifference(s.serialMode, c.mode), "same") << c.what;
        EXPECT_EQ(firstDifference(s.peerAddress, c.address), "same") << c.what;
        EXPECT_EQ(firstDifference(s.peerPort, c.netPort), "same") << c.what;
        EXPECT_EQ(s.currentLanguage, 0) << c.what;
        // Any other Qt program reads the file the same.
        EXPECT_EQ(firstDifference(qtReading(folders)->value(QStringLiteral("ComPortName")).toString(), c.port), "same")
            << c.what;
    }
}

// Names edited by hand, such as "//", loaded, but the first save wrote them back as "\=", a line
// the INI reader rejects, and the start after it lost every setting.
TEST_F(SettingsFile, NamesWrittenByHandSurviveASave)
{
    const char *files[] = {
        "ComBaudRate=\n//=\n",
        "[General]\nComBaudRate=\nComPortName=ttyUSB1\na//=x\n",
        "[General]\nComBaudRate=\nComPortName=ttyUSB1\n\\\\=x\n[a]\n/b\\\\c=1\n",
    };
    for (const char *file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        ASSERT_EQ(before.serialMode, QString()) << file;
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB"))) << file;
        const StoredSettings after = LoadSettingsFrom(*store);
        EXPECT_EQ(linkOf(after), linkOf(before)) << file;
        EXPECT_EQ(after.currentLanguage, 1) << file;
    }
}

// Files that Qt's INI reader takes (or takes once it skips a byte-order mark and '#' comments)
// are used, however long a working connect made them.
TEST_F(SettingsFile, FilesTheIniReaderTakesAreUsed)
{
    const QByteArray longAddress(80 * 1024, '1');
    const QByteArray files[] = {
        "# written by hand\n[General]\nTYPE=1\nComPortName=ttyUSB0\n",
        "\xEF\xBB\xBF[General]\nTYPE=1\nComPortName=ttyUSB0\n",
        "[General]\n; caf\xe9\nTYPE=1\nComPortName=ttyUSB0\n",
        "[General]\nTYPE=1\nComPortName=ttyUSB0\nNetIP=" + longAddress + "\n",
        "[General]\nTYPE=1\nComPortName=ttyUSB0\nNetIP=caf\xe9\n", // read as Qt reads it, U+FFFD
    };
    for (const QByteArray &file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        EXPECT_EQ(before.transport, Transport::Tcp) << file.left(40).toStdString();
        EXPECT_EQ(before.portName, QStringLiteral("ttyUSB0")) << file.left(40).toStdString();
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_EQ(linkOf(LoadSettingsFrom(*store)), linkOf(before)) << file.left(40).toStdString();
        // A connect with the values loaded rewrites nothing: every byte written by hand stays.
        ASSERT_TRUE(SaveLinkSettingsTo(*store, [&before] {
            return LinkSettingsRecord{before.transport, before.peerPort, before.peerAddress, before.serialMode,
                                      before.portName};
        }));
        EXPECT_TRUE(rawUserFile().startsWith(file)) << file.left(40).toStdString();
    }
    EXPECT_FALSE(QFile::exists(folders.userFile() + QStringLiteral(".bad")));
}

// A file that cannot be used counts as no settings, but the save that replaces it first keeps
// it as Relvix.conf.bad beside the new file: one copy, the latest.
TEST_F(SettingsFile, AnUnusableFileIsKeptBesideTheNewOne)
{
    const QByteArray files[] = {
        bytes("[General]\nTYPE=1\n\0this line is no setting\n"),
        bytes("\0\0\0\0[General]\nTYPE=1\n"),
        "[General]\nTYPE=1\nNetIP=" + QByteArray(4 * 1024 * 1024, '1') + "\n",
    };
    for (const QByteArray &file : files) {
        folders.writeUserFile(file);
        EXPECT_EQ(LoadSettingsFrom(*store).transport, Transport::Serial) << file.left(40).toStdString();
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_TRUE(fileBytes(folders.userFile() + QStringLiteral(".bad")) == file) << file.left(40).toStdString();
        EXPECT_EQ(folders.userValues(),
                  (std::map<QString, QString>{{QStringLiteral("LanguageFlag"), QStringLiteral("ChineseGB")}}));
    }
}

// The names and values a file holds are those Qt's INI reader finds in it, for what a person
// writes by hand: quotes and escapes, lists, comments after a value, sections, duplicates, line
// breaks of each kind, stray lines. Qt's typed forms read as absent here.
TEST_F(SettingsFile, ReadsWhatQtsReaderReads)
{
    const char *files[] = {
        "TYPE=1\nComPortName = \"a;b\" \n",
        "[general]\nTYPE=2\n[%General]\nTYPE=3\n[ General ]\nNetIP=x\n",
        "TYPE=1\n[a]\nTYPE=2\n[General]\nTYPE=4\nComBaudRate=9600 , n,8,1 ; comment\n",
        "NetPort=\"quoted \\\"text\\\"\" \\x41\\t\nNetIP=@@at\nComPortName=@ByteArray(x)\n",
        "TYPE=1\r\nNetIP=a\rNetPort=2\r\nComBaudRate=\"19200,e,8,1\"\n",
        "TYPE=1\nno setting here\nNetIP=127.0.0.1\nNetIP = later wins \n[x]\nNetIP=not this\n",
        "ComPortName=\\x1\\x7f\\x20z\nNetIP=\" padded \"\nNetPort=,\n",
        // Octal escapes (read as "a01b" once), and lines that run on after a backslash, in
        // quotes, and in a line that '#' begins, which is no comment to Qt.
        "NetIP=a\\101b\nNetPort=\\0\\7x\\18\\1777777z\nComPortName=\\60\\61 \\62\n",
        "NetIP=a\\\nb\nTYPE=1\nNetPort=c\\\r\nd\nComPortName=e\\\n\rf\nComBaudRate=g\\\r\rh\n",
        "# it's \"quoted\nTYPE=1\n\"\nNetPort=5\nComPortName=\"a\nb\"\n",
        "NetIP=1;c\"d\nNetPort=2 \\\n  ; not a comment\n\v[x]\nTYPE=3\n",
        "; a \"comment\\\nTYPE=4\nNetIP=x \"y;z\" w\\\n",
    };
    for (const char *file : files) {
        folders.writeUserFile(file);
        const auto qt = qtReading(folders);
        ASSERT_TRUE(store->openForRead()) << file;
        for (const QString &name :
             {QStringLiteral("TYPE"), QStringLiteral("ComBaudRate"), QStringLiteral("ComPortName"),
              QStringLiteral("NetIP"), QStringLiteral("NetPort")}) {
            const QVariant qtValue = qt->value(name);
            const QVariant expected = qtValue.typeId() == QMetaType::QStringList
                                          ? QVariant(qtValue.toStringList().join(u','))
                                      : qtValue.typeId() == QMetaType::QString ? qtValue
                                                                               : QVariant();
            QString text;
            EXPECT_EQ(store->exists(name), expected.isValid()) << file << " " << name.toStdString();
            EXPECT_EQ(store->readString(name, text) ? QVariant(text) : QVariant(), expected)
                << file << " " << name.toStdString();
        }
        store->close();
    }
}

// A new value goes on a line of its own however the file ends: after a last line without a line
// break, and before a last line that would take it in (an open quote, a backslash before the
// final line break; found by fuzzing).
TEST_F(SettingsFile, ANewValueKeepsToItsOwnLine)
{
    const char *files[] = {"NetIP=1.2.3.4",      "NetIP=1.2.3.4\n; no line break after this",
                           "NetIP=\"1.2.3.4",    "NetIP=1.2.3.4 \\\n",
                           "NetIP=1.2.3.4 \\\r", "NetIP=1.2.3.4\\"};
    for (const char *file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB"))) << file;
        const StoredSettings after = LoadSettingsFrom(*store);
        EXPECT_EQ(after.peerAddress, before.peerAddress) << file;
        EXPECT_EQ(after.currentLanguage, 1) << file;
        EXPECT_TRUE(rawUserFile().contains(file)) << file;
    }
}

// A folder where the copy should go made every save fail for good: the copy takes the next free
// name instead. A copy that cannot be made at all stops the save, and the file stays as it was.
TEST_F(SettingsFile, TheCopyTakesTheNextFreeName)
{
    const QByteArray unusable = bytes("[General]\nTYPE=1\n\0no setting\n");
    folders.writeUserFile(unusable);
    ASSERT_TRUE(QDir().mkpath(folders.userFile() + QStringLiteral(".bad")));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    EXPECT_TRUE(fileBytes(folders.userFile() + QStringLiteral(".bad.1")) == unusable);
    EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);

    folders.writeUserFile(unusable);
    QFile::remove(folders.userFile() + QStringLiteral(".bad.1"));
    for (int n = 1; n <= 9; ++n)
        ASSERT_TRUE(QDir().mkpath(folders.userFile() + QStringLiteral(".bad.%1").arg(n)));
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_TRUE(rawUserFile() == unusable);
}

namespace {

// Runs body in a child process and gives its exit status; the child ends with _exit, so nothing
// of the test program runs twice.
int inChild(const std::function<int()> &body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

} // namespace

// On a full disk a save emptied the file and reported success (a buffered write failed and the
// commit went on). Now a save that could not write every byte fails and the old bytes stay; an
// unusable file's .bad copy is whole or not made. A file size limit stands in for the full disk.
TEST_F(SettingsFile, AFullDiskFailsTheSaveAndKeepsTheOldBytes)
{
    const QByteArray good = "[General]\nTYPE=1\nNetIP=127.0.0.1\nLanguageFlag=English\n";
    const QByteArray unusable = bytes("[General]\nTYPE=1\n\0") + QByteArray(3000, 'x');
    for (const QByteArray &file : {good, unusable}) {
        folders.writeUserFile(file);
        const int status = inChild([] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit tiny{1024, 1024};
            ::setrlimit(RLIMIT_FSIZE, &tiny);
            auto child = makePlatformSettingsStore();
            const bool saved = SaveLanguageTo(*child, QString(2000, QLatin1Char('x')));
            return saved ? 1 : 0;
        });
        EXPECT_EQ(status, 0) << "the save must fail";
        EXPECT_TRUE(rawUserFile() == file) << "the old bytes stay";
        const QByteArray bad = fileBytes(folders.userFile() + QStringLiteral(".bad"));
        EXPECT_TRUE(bad.isEmpty() || bad == unusable) << "a copy is whole or not there";
        QStringList names = QDir(folders.userFolder()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("Relvix.conf.bad"));
        names.removeAll(QStringLiteral("Relvix.conf.lock"));
        EXPECT_EQ(names, QStringList{QStringLiteral("Relvix.conf")}) << "no temporary file is left";
    }
}

// Two programs saving at once (two windows, or a window and the command line) each lost the
// other's values while both reported success. Each save now takes a lock, reads the file afresh
// and changes only its own value, so both last values are there, whatever the interleaving.
TEST_F(SettingsFile, TwoWritersAtOnceKeepEachOthersValues)
{
    folders.writeUserFile("# by hand\n[General]\nTYPE=1\n");
    constexpr int kSaves = 150;
    const auto writer = [](const QString &name, const QString &prefix) {
        return [name, prefix] {
            auto own = makePlatformSettingsStore();
            for (int i = 1; i <= kSaves; ++i) {
                if (!own->openForWrite() || !own->writeString(name, prefix + QString::number(i)))
                    return 1;
                own->close();
            }
            return 0;
        };
    };
    pid_t pids[2];
    const std::function<int()> bodies[2] = {writer(QStringLiteral("NetIP"), QStringLiteral("127.0.0.")),
                                            writer(QStringLiteral("LanguageFlag"), QStringLiteral("flag"))};
    for (int i = 0; i < 2; ++i) {
        pids[i] = ::fork();
        if (pids[i] == 0)
            ::_exit(bodies[i]());
    }
    for (pid_t pid : pids) {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "every save succeeds";
    }
    const auto values = folders.userValues();
    EXPECT_EQ(values.at(QStringLiteral("NetIP")), QStringLiteral("127.0.0.%1").arg(kSaves));
    EXPECT_EQ(values.at(QStringLiteral("LanguageFlag")), QStringLiteral("flag%1").arg(kSaves));
    EXPECT_EQ(values.at(QStringLiteral("TYPE")), QStringLiteral("1"));
    EXPECT_TRUE(rawUserFile().startsWith("# by hand\n[General]\nTYPE=1\n"));
    EXPECT_TRUE(QFile::exists(folders.userFile() + QStringLiteral(".lock"))) << "the lock file stays";
}

// Qt 6.4 takes no byte-order mark off and this store took off any number; one is skipped now, as
// later Qt does, and a second belongs to the first line's name.
TEST_F(SettingsFile, OneByteOrderMarkIsSkipped)
{
    const QByteArray file = "\xEF\xBB\xBF\xEF\xBB\xBFTYPE=1\nNetIP=127.0.0.1\n";
    folders.writeUserFile(file);
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Serial);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    EXPECT_TRUE(rawUserFile().startsWith(file));
}

namespace {

struct Ownership {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    bool operator==(const Ownership &) const = default;
};

Ownership ownershipOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {uid_t(-1), gid_t(-1), 0};
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

void giveTo(const QString &path, uid_t uid, gid_t gid)
{
    ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), uid, gid), 0) << path.toStdString();
}

constexpr uid_t kUser = 65534; // nobody: a user who is not root
constexpr gid_t kGroup = 65534;

// The save as that user, in a child process: 0 when it loaded the given language and saved.
int saveAsUser(int expectedLanguage)
{
    return inChild([expectedLanguage] {
        if (::setgid(kGroup) != 0 || ::setuid(kUser) != 0)
            return 2;
        auto own = makePlatformSettingsStore();
        if (LoadSettingsFrom(*own).currentLanguage != expectedLanguage)
            return 3;
        return SaveLanguageTo(*own, QStringLiteral("ChineseGB")) ? 0 : 4;
    });
}

} // namespace

// One `sudo -E relvix` made Relvix.conf root's (the new file was renamed over the old one with
// its mode but not its owner): the user's next start read the built-ins and every save failed.
// A lock file left by root blocked every later save too. As root, a save keeps the owner and
// group of what it replaces, and what it makes in the user's folder is the user's.
TEST_F(SettingsFile, ARootSaveLeavesTheUsersFilesTheUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give files away";
    const QString home = QFileInfo(folders.userFolder()).absolutePath();
    folders.writeUserFile("[General]\nTYPE=1\nLanguageFlag=English\n");
    for (const QString &path : {home, folders.userFolder(), folders.userFile()})
        giveTo(path, kUser, kGroup);
    ASSERT_TRUE(QFile::setPermissions(folders.userFile(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const Ownership user{kUser, kGroup, 0640};
    ASSERT_EQ(ownershipOf(folders.userFile()), user);

    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseBIG5"))) << "the save as root";
    EXPECT_EQ(ownershipOf(folders.userFile()), user) << "owner, group and mode kept";
    EXPECT_EQ(ownershipOf(folders.userFile() + QStringLiteral(".lock")).uid, kUser);
    EXPECT_EQ(saveAsUser(2), 0) << "the user reads root's value and saves after it";

    // A lock file that an older version left as root's, and that the user may not even read.
    const QString lock = folders.userFile() + QStringLiteral(".lock");
    QFile::remove(lock);
    {
        QFile left(lock);
        ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::setPermissions(lock, QFile::ReadOwner | QFile::WriteOwner));
    QElapsedTimer took;
    took.start();
    EXPECT_EQ(saveAsUser(1), 0) << "a lock file of root's blocks nothing";
    EXPECT_LT(took.elapsed(), 5000);

    // A first save as root makes the folder and the file, both the user's.
    QDir(folders.userFolder()).removeRecursively();
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_EQ(ownershipOf(folders.userFolder()).uid, kUser);
    EXPECT_EQ(ownershipOf(folders.userFile()).uid, kUser);
    EXPECT_EQ(ownershipOf(folders.userFile()).gid, kGroup);
    EXPECT_EQ(saveAsUser(0), 0);
}

// A Relvix.conf that is a link to a file kept elsewhere (a dotfiles folder) was turned into a
// file of its own by the first save. A save writes through the link; the link stays.
TEST_F(SettingsFile, ALinkedFileIsWrittenThrough)
{
    QTemporaryDir elsewhere;
    const QString target = elsewhere.path() + QStringLiteral("/relvix.ini");
    for (const bool targetExists : {true, false}) {
        QFile::remove(target);
        if (targetExists) {
            QFile file(target);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("[General]\nTYPE=1\n");
        }
        QDir().mkpath(folders.userFolder());
        QFile::remove(folders.userFile());
        ASSERT_TRUE(QFile::link(target, folders.userFile()));
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_TRUE(QFileInfo(folders.userFile()).isSymLink()) << targetExists;
        EXPECT_TRUE(fileBytes(target).contains("LanguageFlag=ChineseGB")) << targetExists;
        EXPECT_EQ(fileBytes(target).contains("TYPE=1"), targetExists);
        EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);
        EXPECT_EQ(QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"relvix.ini"});
    }
}

// The lock was a QLockFile, which a writer killed at the wrong moment leaves empty: the next
// save waited 10 s for it to turn stale, and the window saves on its only thread. A killed save
// could also leave its new file behind. The lock is now one the system lets go of when its
// holder dies; a save that cannot have it within its bound says so; leftovers go at the next
// save.
TEST_F(SettingsFile, AKilledWriterNeitherStallsNorLittersTheNextSave)
{
    folders.writeUserFile("[General]\nTYPE=1\n");
    const QString lock = folders.userFile() + QStringLiteral(".lock");
    const auto timedSave = [this](const QString &flag, qint64 &ms) {
        QElapsedTimer took;
        took.start();
        const bool saved = SaveLanguageTo(*store, flag);
        ms = took.elapsed();
        return saved;
    };
    qint64 ms = 0;

    // What a killed QLockFile holder leaves, and a new file a killed save left.
    {
        QFile empty(lock);
        ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
        QFile left(folders.userFile() + QStringLiteral(".Ab12Cd"));
        ASSERT_TRUE(left.open(QIODevice::WriteOnly));
        left.write("[General]\nTYPE=0\n");
        QFile kept(folders.userFile() + QStringLiteral(".backup")); // six letters, but a person's
        ASSERT_TRUE(kept.open(QIODevice::WriteOnly));
    }
    EXPECT_TRUE(timedSave(QStringLiteral("English"), ms));
    EXPECT_LT(ms, 5000) << "an empty lock file is no lock";
    EXPECT_FALSE(QFile::exists(folders.userFile() + QStringLiteral(".Ab12Cd"))) << "a crashed save's file goes";
    EXPECT_TRUE(QFile::exists(folders.userFile() + QStringLiteral(".backup"))) << "other files stay";

    // A holder that hangs: the save gives up after its bound and says why; once the holder is
    // killed, the next save goes through at once.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(QFile::encodeName(lock).constData(), O_RDWR);
        const bool held = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
        (void)!::write(ready[1], held ? "1" : "0", 1);
        for (;;)
            ::pause();
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, '1');
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_FALSE(timedSave(QStringLiteral("ChineseGB"), ms));
    EXPECT_GE(ms, 1500);
    EXPECT_TRUE(store->failure().contains(QStringLiteral("another program holds the lock")))
        << store->failure().toStdString();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(timedSave(QStringLiteral("ChineseGB"), ms));
    EXPECT_LT(ms, 5000);

    // Writers killed at random moments of their saves: every next save succeeds well within the
    // bound, and none of their new files is left once it has.
    for (int round = 0; round < 30; ++round) {
        const pid_t writer = ::fork();
        if (writer == 0) {
            auto own = makePlatformSettingsStore();
            for (int i = 0;; ++i)
                SaveLanguageTo(*own, QStringLiteral("flag%1").arg(i));
        }
        ::usleep(useconds_t(QRandomGenerator::global()->bounded(1000, 30000)));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        ASSERT_TRUE(timedSave(QStringLiteral("round%1").arg(round), ms)) << round;
        EXPECT_LT(ms, 5000) << round;
        QStringList names = QDir(folders.userFolder()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("Relvix.conf.backup"));
        EXPECT_EQ(names, (QStringList{QStringLiteral("Relvix.conf"), QStringLiteral("Relvix.conf.lock")})) << round;
    }
    EXPECT_EQ(folders.userValues().at(QStringLiteral("LanguageFlag")), QStringLiteral("round29"));
}
