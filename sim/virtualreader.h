#pragma once
#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

namespace relvix::sim {

// The reader's holding registers as the tool uses them.
namespace reg {
constexpr std::uint16_t Address = 0x0100;
constexpr std::uint16_t SerialHigh = 0x0107;
constexpr std::uint16_t SerialLow = 0x0108;
constexpr std::uint16_t Version = 0x0109;
constexpr std::uint16_t Maintenance = 0x010A; // 1 reboot, 2 factory settings
constexpr std::uint16_t Inputs = 0x0110;
constexpr std::uint16_t Outputs = 0x0111;
constexpr std::uint16_t UidBlock = 0x0112;    // 8 registers
constexpr std::uint16_t KeypadBlock = 0x011B; // 8 registers
constexpr int BlockRegisters = 8;
} // namespace reg

// MODBUS exception codes the reader answers with.
namespace exc {
constexpr std::uint8_t IllegalFunction = 0x01;
constexpr std::uint8_t IllegalDataAddress = 0x02;
constexpr std::uint8_t IllegalDataValue = 0x03;
} // namespace exc

// Faults applied to the responses, for tests and for people.
struct FaultScript {
    int delayMs = 0;          // wait before the first byte of a response
    int gapMs = 0;            // wait between bytes (or between chunks when chunkSize > 0)
    int chunkSize = 0;        // send the response in pieces of this many bytes (0: at once)
    QByteArray noiseBefore;   // bytes sent before the response
    QByteArray noiseAfter;    // bytes sent after the response
    bool wrongCrc = false;    // flip the CRC of every response
    int exceptionCode = 0;    // answer every request with this MODBUS exception (0: off)
    bool silent = false;      // answer nothing
    bool endless = false;     // after a request, send bytes without end until the next request or close
    int closeAfterBytes = -1; // close the connection (TCP) or the pseudo-terminal after this many response bytes
    int answerAsAddress = -1; // answer with this slave address instead of its own (-1: own)
    int truncateTo = -1;      // send only this many bytes of each response, then nothing (-1: all)
    int faultyRequests = -1;  // the faults hold for this many more requests, later ones are
                              // answered plainly (-1: for every request)
};

// The register map and the MODBUS slave logic: functions 03 and 06, exception replies for
// a bad function, address or value, frames for other addresses and bad CRCs ignored.
class VirtualReader {
public:
    VirtualReader();

    std::uint8_t address() const { return address_; }
    void setAddress(std::uint8_t address);
    void setSerialNumber(std::uint32_t serial);
    void setVersion(std::uint16_t version);
    void setInputs(std::uint16_t inputs);
    std::uint16_t outputs() const;
    // Present a card: up to 16 UID bytes, the rest zero.
    void presentCard(const QByteArray &uid);
    // Type a keypad code: one byte per key (1..9, 10 for the 0 key), the rest zero.
    void typeKeys(const QByteArray &keys);
    std::uint16_t registerValue(std::uint16_t address) const;
    void setRegister(std::uint16_t address, std::uint16_t value);
    int rebootCount() const { return reboots_; }
    int factoryResetCount() const { return factoryResets_; }
    // The line speed the reader is set to, in baud, or 0 for none: then it answers at any
    // speed. A real reader's UART only makes sense of frames sent at its own speed.
    int lineSpeed() const { return lineSpeed_; }
    void setLineSpeed(int baud) { lineSpeed_ = baud > 0 ? baud : 0; }
    // Whether it makes sense of a line at this speed: lineBaud 0 is a link without a speed
    // (TCP), where every reader hears; a speed that cannot be told (< 0) only the readers
    // without a speed hear.
    bool hearsSpeed(int lineBaud) const { return lineSpeed_ == 0 || lineBaud == 0 || lineBaud == lineSpeed_; }
    // How long this reader takes to answer, beyond the faults of the whole line (a slow one
    // among quick ones on a bus).
    int answerDelayMs() const { return answerDelayMs_; }
    void setAnswerDelayMs(int ms) { answerDelayMs_ = ms > 0 ? ms : 0; }

    std::uint32_t serialNumber() const;
    std::uint16_t version() const;
    std::uint16_t inputs() const;
    void setOutputs(std::uint16_t outputs);
    // The 16 bytes of a block, high byte of each register first.
    QByteArray uidBytes() const;
    QByteArray keyBytes() const;
    // Type keys given as text: '1'..'9' as themselves, '0' as 10. False (nothing changed)
    // for any other character or more than 16 keys.
    bool typeKeyDigits(const QString &digits);
    // Whether function 03 may read this register.
    static bool isReadable(std::uint16_t address);

    // Handles one complete request frame. Returns the response frame, or an empty array when
    // the reader stays silent (other address, bad CRC, too short). Address changes take effect
    // after the response is built.
    QByteArray handleRequest(const QByteArray &frame);

    // True when the frame is one this reader would act on: at least 4 bytes, a correct CRC,
    // and its own address or the broadcast address 0.
    bool accepts(const QByteArray &frame) const;

private:
    std::uint16_t &at(std::uint16_t address) { return regs_[address - reg::Address]; }
    std::uint16_t at(std::uint16_t address) const { return regs_[address - reg::Address]; }
    void writeBlock(std::uint16_t first, const QByteArray &bytes);
    QByteArray readHolding(const QByteArray &frame);
    QByteArray writeSingle(const QByteArray &frame, std::uint8_t *newAddress);

    std::uint8_t address_ = 1;
    std::array<std::uint16_t, 0x40> regs_{}; // 0x0100..0x013F
    int reboots_ = 0;
    int factoryResets_ = 0;
    int lineSpeed_ = 0;
    int answerDelayMs_ = 0;
};

// CRC-16/MODBUS of the bytes (reflected polynomial 0xA001, initial 0xFFFF).
std::uint16_t crc16(const QByteArray &bytes);
// One byte of the same CRC, for running it along a stream.
std::uint16_t crc16Step(std::uint16_t crc, std::uint8_t byte);
// True when the last two bytes are the CRC of the others, low byte first (at least 4 bytes).
bool hasValidCrc(const QByteArray &frame);
// Appends the CRC, low byte first.
QByteArray withCrc(QByteArray frame);
// address, function | 0x80, code, CRC: 5 bytes.
QByteArray exceptionResponse(std::uint8_t address, std::uint8_t function, std::uint8_t code);
// "01 03 02 00 01 79 84": upper-case pairs separated by one blank.
QString hexString(const QByteArray &bytes);

} // namespace relvix::sim
