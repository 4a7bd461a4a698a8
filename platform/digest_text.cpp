// platform/digest_text.cpp: CRC-32 and the digests' hex text, the same on every platform.
#include "platform/digest_text.h"

#include <cstdio>

// The reflected polynomial of CRC-32 (IEEE 802.3), eight bits at a time.
static const unsigned* crcTable() {
    static const struct Table {
        unsigned entries[256];
        Table() : entries() {
            for (unsigned i = 0; i < 256; i++) {
                unsigned value = i;
                for (int bit = 0; bit < 8; bit++) {
                    value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
                }
                entries[i] = value;
            }
        }
    } table;
    return table.entries;
}

unsigned updateCrc32(unsigned crc, const char* bytes, std::size_t length) {
    const unsigned* table = crcTable();
    unsigned value = ~crc;
    for (std::size_t i = 0; i < length; i++) {
        value = table[(value ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (value >> 8);
    }
    return ~value;
}

void writeHexDigest(const unsigned char* bytes, std::size_t length, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; i++) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    out[2 * length] = '\0';
}

void writeCrc32Digest(unsigned crc, char* out) {
    (void)std::snprintf(out, 9, "%08x", crc);
}
