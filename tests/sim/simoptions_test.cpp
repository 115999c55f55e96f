// relvix-sim's command line read into options, without starting anything.
#include "simoptions.h"

#include <gtest/gtest.h>

using relvix::sim::parseSimOptions;

namespace {

relvix::sim::SimOptions parse(const QString &line)
{
    return parseSimOptions(QStringList{QStringLiteral("relvix-sim")} + line.split(u' ', Qt::SkipEmptyParts));
}

} // namespace

TEST(SimOptions, WhereItListens)
{
    const struct {
        const char *line;
        bool tcp;
        const char *port; // nullptr: a free one
        bool pty;
    } cases[] = {
        {"", true, nullptr, false},
        {"--pty", false, nullptr, true},
        {"--tcp --pty", true, nullptr, true},
        {"--tcp 4001", true, "4001", false},
        {"--tcp=4001 --pty", true, "4001", true},
        {"--tcp --uid 12", true, nullptr, false},
    };
    for (const auto &c : cases) {
        const auto options = parse(QString::fromLatin1(c.line));
        EXPECT_EQ(options.tcp, c.tcp) << c.line;
        EXPECT_EQ(options.tcpPort.value_or(QStringLiteral("none")),
                  c.port ? QString::fromLatin1(c.port) : QStringLiteral("none"))
            << c.line;
        EXPECT_EQ(options.pty, c.pty) << c.line;
        EXPECT_EQ(options.bind, QStringLiteral("127.0.0.1")) << c.line;
    }
}

TEST(SimOptions, ReaderAndFaultOptionsBecomeCommands)
{
    const auto options = parse(QStringLiteral("--reader 5:1:2 --reader 7:3:4:9600 --address 9 --uid 0A0B --delay 20 "
                                              "--silent --answer-as 3 --log --script s.txt --quit-on-eof"));
    EXPECT_EQ(options.readers, (QStringList{QStringLiteral("5:1:2"), QStringLiteral("7:3:4:9600")}));
    EXPECT_EQ(options.setup, (QStringList{QStringLiteral("address 9"), QStringLiteral("uid 0A0B"),
                                          QStringLiteral("fault delay 20 answer-as 3 silent on")}));
    EXPECT_TRUE(options.verbose);
    EXPECT_TRUE(options.quitOnEof);
    EXPECT_EQ(options.script.value_or(QString()), QStringLiteral("s.txt"));
}

TEST(SimOptions, LineOptionsBecomeCommands)
{
    const struct {
        const char *line;
        QStringList setup;
    } cases[] = {
        {"--line echo,half-duplex --noise 30", {"line echo,half-duplex", "noise 30"}},
        {"--gateway --tcp", {"gateway on"}},
        {"--gateway 80 --line-baud 9600", {"line-baud 9600", "gateway 80"}},
        {"--gateway=0", {"gateway 0"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(QString::fromLatin1(c.line)).setup, c.setup) << c.line;
}
