// fs/delivery_report.cpp: the report's file, written under SharedLock::kDeliveryReport.
#include "fs/delivery_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/shared_locks.h"
#include "base/text.h"

static const char kHeaderRow[] = "time,client,file,bytes,size,offset,seconds,outcome,sha256\r\n";
// A row holds two texts of at most a path's or a reply's length, each perhaps doubled by quotes.
constexpr std::size_t kRowSize = 4 * 4096;

static int reportFile = -1;

int openDeliveryReport(const char* path) {
    reportFile = openFileForAppending(path);
    if (reportFile < 0) {
        return -1;
    }
    long long size = fileSizeOf(reportFile);
    if (size == 0 && writeFile(reportFile, kHeaderRow, sizeof kHeaderRow - 1) != 0) {
        return -1;
    }
    return 0;
}

bool isReportingDeliveries() {
    return reportFile >= 0;
}

// Appends text as one CSV field (RFC 4180): quoted, with its quotes doubled, when it holds a
// comma, a quote or a line end; a spreadsheet would take a leading =, +, - or @ for a formula,
// so such a text gets a leading apostrophe inside the quotes.
static void appendField(char* out, std::size_t outSize, std::size_t* used, const char* text) {
    bool isFormula = std::strchr("=+-@", text[0]) != nullptr && text[0] != '\0';
    bool isQuoted = isFormula || std::strpbrk(text, ",\"\r\n") != nullptr;
    auto put = [&](char c) {
        if (*used + 1 < outSize) {
            out[(*used)++] = c;
        }
    };
    if (isQuoted) {
        put('"');
    }
    if (isFormula) {
        put('\'');
    }
    for (const char* c = text; *c != '\0'; c++) {
        put(*c);
        if (*c == '"') {
            put('"');
        }
    }
    if (isQuoted) {
        put('"');
    }
    out[*used] = '\0';
}

void reportDelivery(const DeliveryRow* row) {
    if (reportFile < 0) {
        return;
    }
    CalendarTime local = {};
    (void)toLocalTime(currentTime(), &local);  // a clock before 1970 shows as zeros
    char host[kNetworkAddressTextSize];
    if (formatAddress(row->client, host, sizeof host) != 0) {
        copyText(host, sizeof host, "-");  // never for an address a session has
    }
    char size[24] = "";
    if (row->size >= 0) {
        std::snprintf(size, sizeof size, "%lld", row->size);
    }
    char text[kRowSize];
    int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d,%s,", local.year,
                      local.month, local.day, local.hour, local.minute, local.second, host);
    std::size_t used = length > 0 ? static_cast<std::size_t>(length) : 0;
    appendField(text, sizeof text, &used, row->path);
    length =
        std::snprintf(text + used, sizeof text - used, ",%lld,%s,%lld,%lld.%03lld,", row->bytes,
                      size, row->offset, row->milliseconds / 1000, row->milliseconds % 1000);
    used += length > 0 ? static_cast<std::size_t>(length) : 0;
    appendField(text, sizeof text, &used, row->outcome);
    length = std::snprintf(text + used, sizeof text - used, ",%s\r\n", row->sha256);
    used = std::min(used + (length > 0 ? static_cast<std::size_t>(length) : 0), sizeof text - 1);
    takeLock(SharedLock::kDeliveryReport);
    // One write of whole rows: another program reading the file never meets half a row.
    if (writeFile(reportFile, text, used) != 0) {
        printSystemError("Error: could not write the delivery report");
    }
    releaseLock(SharedLock::kDeliveryReport);
}
