// platform/digest_text.h: what both implementations of the digests share: CRC-32, which no
// system provider offers, and the digests' hex text.
#pragma once

#include <cstddef>

// Continues crc (0 to start) over length bytes: the CRC-32 of zlib and of the XCRC verb.
unsigned updateCrc32(unsigned crc, const char* bytes, std::size_t length);
// Writes length bytes as lower-case hex and a terminator into out (room for 2 * length + 1).
void writeHexDigest(const unsigned char* bytes, std::size_t length, char* out);
// Writes the CRC-32's eight hex digits and a terminator.
void writeCrc32Digest(unsigned crc, char* out);
