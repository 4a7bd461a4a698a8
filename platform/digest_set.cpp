// platform/digest_set.cpp: what both platforms share of the digests: CRC-32, which no system
// provider offers, the digests' hex text, and the set of digests over the provider's own.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/errors.h"
#include "platform/primitives.h"

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

// Continues crc (0 to start) over length bytes: the CRC-32 of zlib and of the XCRC verb.
static unsigned updateCrc32(unsigned crc, const char* bytes, std::size_t length) {
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

struct DigestSet {
    void* provided[kProvidedDigests];  // nullptr for a kind not begun
    unsigned crc;
    bool hasCrc;
};

static void freeDigests(DigestSet* set) {
    for (void* digest : set->provided) {
        endProvidedDigest(digest);  // takes nullptr
    }
    delete set;
}

DigestSet* beginDigests(unsigned kinds) {
    DigestSet* set = new (std::nothrow) DigestSet{};
    if (set == nullptr) {
        recordRuntimeError(ENOMEM);
        return nullptr;
    }
    set->hasCrc = (kinds & digestBit(DigestKind::kCrc32)) != 0;
    for (int i = 0; i < kProvidedDigests; i++) {
        if ((kinds & (1u << i)) == 0) {
            continue;
        }
        set->provided[i] = beginProvidedDigest(static_cast<DigestKind>(i));
        if (set->provided[i] == nullptr) {
            freeDigests(set);  // the error stays the provider's
            return nullptr;
        }
    }
    return set;
}

void updateDigests(DigestSet* set, const char* bytes, std::size_t length) {
    for (void* digest : set->provided) {
        if (digest != nullptr) {
            updateProvidedDigest(digest, bytes, length);
        }
    }
    if (set->hasCrc) {
        set->crc = updateCrc32(set->crc, bytes, length);
    }
}

int finishDigests(DigestSet* set, char texts[kDigestKindCount][kDigestTextSize]) {
    for (int i = 0; i < kProvidedDigests; i++) {
        texts[i][0] = '\0';
        if (set->provided[i] != nullptr &&
            finishProvidedDigest(set->provided[i], static_cast<DigestKind>(i), texts[i]) != 0) {
            freeDigests(set);
            return -1;
        }
    }
    char* crcText = texts[static_cast<int>(DigestKind::kCrc32)];
    crcText[0] = '\0';
    if (set->hasCrc) {
        (void)std::snprintf(crcText, kDigestTextSize, "%08x", set->crc);  // eight digits fit
    }
    freeDigests(set);
    return 0;
}
