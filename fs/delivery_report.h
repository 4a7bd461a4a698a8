// fs/delivery_report.h: the delivery report ("-report"): one CSV row for every download and
// upload that started or was refused, written as it ends, so that the operator can show what
// each client received and check it against the vendor's checksums.
#pragma once

#include "platform/platform.h"

// Opens path (absolute) for appending, with the header row when the file is new or empty.
// Start-up only; without it nothing is reported. Returns 0, or -1 with the error set.
int openDeliveryReport(const char* path);
bool isReportingDeliveries();

// One row. size is the file's size (-1: unknown, left empty), offset where the transfer
// started in it; outcome is "complete", "cut off: <reason>" or "refused: <reply>"; sha256 is
// empty unless the whole file went out.
struct DeliveryRow {
    const NetworkAddress* client;
    const char* path;  // below the root, as "/dir/name"
    long long bytes;
    long long size;
    long long offset;
    long long milliseconds;
    const char* outcome;
    const char* sha256;
};
// Appends the row with one write, before the transfer's final reply goes out, so that a
// client that saw the reply finds its row in the file whatever happens to the server then.
void reportDelivery(const DeliveryRow* row);
