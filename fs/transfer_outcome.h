// fs/transfer_outcome.h: what one download or upload did, which the session counts while it
// runs and the transfer log, the delivery report and the operator's status each tell.
#pragma once

#include <cstddef>

// Room for why a transfer was cut off: "the client closed the connection (...)".
constexpr std::size_t kCutOffReasonSize = 192;

// What a transfer did, counted while it runs.
struct TransferOutcome {
    long long startMilliseconds;  // on the monotonic clock
    long long bytes;
    bool complete;
    bool started;  // its "150" went out, and the server did not turn its data connection away
    long long size;                        // the bytes it was to move; -1 when unknown (an upload)
    char cutOffReason[kCutOffReasonSize];  // empty until it fails after its "150"
};
