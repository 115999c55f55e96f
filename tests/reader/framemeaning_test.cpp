// The meaning of each frame the window sends and receives. Requests are the documented frames
// for slave 1; responses carry CRCs computed apart from the code under test (Python, the
// reflected 0xA001 polynomial), "01 03 02 00 01 79 84" being the well-known address answer.
#include "reader/framemeaning.h"

#include <gtest/gtest.h>

using namespace relvix;

namespace {

QByteArray frame(const char *hex)
{
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

struct Case {
    const char *request;
    const char *response; // nullptr: the request's own meaning
    const char *meaning;
};

const Case kCases[] = {
    // requests
    {"01 03 01 00 00 01 85 F6", nullptr, "read address"},
    {"01 03 01 07 00 03 B5 F6", nullptr, "read S/N + version"},
    {"01 03 01 10 00 02 C4 32", nullptr, "read DI/DO"},
    {"01 03 01 12 00 08 E5 F5", nullptr, "read card block"},
    {"01 03 01 1B 00 08 35 F7", nullptr, "read keypad block"},
    {"01 06 01 00 00 05 48 35", nullptr, "write address 5"},
    {"01 06 01 0A 00 01 69 F4", nullptr, "reboot"},
    {"01 06 01 0A 00 02 29 F5", nullptr, "factory settings"},
    {"01 06 01 11 0F 00 DD C3", nullptr, "write outputs 0F00"},
    {"01 06 01 12 00 01 E9 F3", nullptr, "clear card block"},
    {"01 06 01 1B 00 01 39 F1", nullptr, "clear keypad block"},
    {"01 03 00 50 00 02 C4 1A", nullptr, "read 2 registers at 0050"},
    {"01 07 41 E2", nullptr, "function 07"},
    // responses to the window's reads
    {"01 03 01 00 00 01 85 F6", "01 03 02 00 01 79 84", "address 1"},
    {"01 03 01 07 00 03 B5 F6", "01 03 06 00 12 AB CD 1A 05 E3 CE", "S/N 0012ABCD, VER 1A05"},
    {"01 03 01 10 00 02 C4 32", "01 03 04 00 A5 0F 00 EF E0", "DI 00A5, DO 0F00"},
    {"01 03 01 12 00 08 E5 F5", "01 03 10 12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00 AA CD", "card 12345678"},
    {"01 03 01 12 00 08 E5 F5", "01 03 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 E4 59", "no card"},
    {"01 03 01 1B 00 08 35 F7", "01 03 10 01 02 0A 04 00 00 00 00 00 00 00 00 00 00 00 00 A3 46", "keys 1204"},
    {"01 03 01 1B 00 08 35 F7", "01 03 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 E4 59", "no keys"},
    {"01 03 00 50 00 02 C4 1A", "01 03 04 00 01 00 02 2A 32", "0001 0002"},
    // writes are echoed
    {"01 06 01 11 0F 00 DD C3", "01 06 01 11 0F 00 DD C3", "echo"},
    {"01 06 01 11 0F 00 DD C3", "01 06 01 12 00 01 E9 F3", "echo differs"},
    // what is wrong with an answer
    {"01 03 01 00 00 01 85 F6", "01 83 02 C0 F1", "exception 02 illegal data address"},
    {"01 07 41 E2", "01 87 01 82 30", "exception 01 illegal function"},
    {"01 03 01 07 00 03 B5 F6", "01 03 02 00 01 79 84", "byte count 2, expected 6"},
    {"01 03 01 00 00 01 85 F6", "05 03 02 00 05 89 87", "from slave 5, not 1"},
    {"01 03 01 00 00 01 85 F6", "01 04 02 00 01 78 F0", "function 04, not 03"},
    {"01 03 01 00 00 01 85 F6", "01 03 02 00 01 79 85", "bad CRC"},
    {"01 03 01 00 00 01 85 F6", "01 03 02", "incomplete"},
    // an answer with no request to compare it with
    {"", "01 03 02 00 01 79 84", ""},
    {"", "01 83 02 C0 F1", "exception 02 illegal data address"},
};

} // namespace

TEST(FrameMeaning, EveryKnownFrameAndWhatIsWrongWithAnAnswer)
{
    for (const Case &c : kCases) {
        const QString meaning =
            c.response ? responseMeaning(frame(c.request), frame(c.response)) : requestMeaning(frame(c.request));
        EXPECT_EQ(meaning.toStdString(), c.meaning) << c.request << " / " << (c.response ? c.response : "-");
    }
}
