#pragma once
#include <QString>
#include <cstdint>

namespace relvix {

// How the real link opener reads the two network setting texts; exposed so that tests can
// check the rules without opening anything.

// The port text as the C library's atol reads it (leading blanks, one sign, digits up to
// the first non-digit, none gives 0; a 32-bit long saturates), cut to its low 16 bits.
// Port 0 is not connectable, so an empty or non-numeric text makes the open fail.
std::uint16_t ParsePeerPort(const QString &text);

// The dotted address as inet_addr reads it, in network byte order. False for a text it
// cannot read (inet_addr's INADDR_NONE, except for "255.255.255.255" itself) and for
// 0.0.0.0, which Windows refuses to connect to and Linux would quietly take as this
// machine. Nothing is connected while this is checked.
bool ParsePeerAddress(const QString &text, std::uint32_t &networkOrderAddress);

} // namespace relvix
