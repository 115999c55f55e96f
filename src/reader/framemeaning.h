#pragma once
#include <QByteArray>
#include <QString>

namespace relvix {

// What a whole RTU frame (slave, function, data, CRC) means in the reader's terms, for a
// traffic log: "read address", "write outputs 0F00", "S/N 0012ABCD, VER 1A05", ...
// Frames the reader's register map does not name get a plain description ("read 2
// registers at 0123"); a function the reader does not know gets "function 07".

// A request by what it asks of the reader.
QString requestMeaning(const QByteArray &request);

// A response by what it answers to `request` (the frame sent just before it; empty when
// not known): the value read, "echo" for a write, "exception 02 illegal data address", or
// what is wrong with it ("bad CRC", "byte count 4, expected 6", "function 04, not 03").
QString responseMeaning(const QByteArray &request, const QByteArray &response);

} // namespace relvix
