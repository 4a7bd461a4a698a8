// platform/windows/tls_steps.cpp: the decisions of a Schannel server session that need no
// Schannel (see tls_steps.h); the statuses are those of Microsoft's documented contract.
#include "platform/windows/tls_steps.h"

#include <winsock2.h>

#include <windows.h>

#include <cstring>

HandshakeNext nextHandshakeStep(long status, std::size_t offered, std::size_t left) {
    if (status == SEC_E_OK) {
        return HandshakeNext::kDone;
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        return HandshakeNext::kReceive;  // the input is kept whole and grows
    }
    if (status != SEC_I_CONTINUE_NEEDED) {
        return HandshakeNext::kFail;
    }
    // A step that used up what came, or used none of it, waits for more: otherwise the loop
    // could turn in place on bytes Schannel will never take.
    return left == 0 || left == offered ? HandshakeNext::kReceive : HandshakeNext::kAgain;
}

bool needsCompletion(long status) {
    return status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE;
}

long statusAfterCompletion(long status) {
    if (status == SEC_I_COMPLETE_NEEDED) {
        return SEC_E_OK;
    }
    return status == SEC_I_COMPLETE_AND_CONTINUE ? SEC_I_CONTINUE_NEEDED : status;
}

RecordNext nextRecordStep(long status, bool isTls13) {
    switch (status) {
        case SEC_E_OK:
            return RecordNext::kData;
        case SEC_E_INCOMPLETE_MESSAGE:
            return RecordNext::kReceive;
        case SEC_I_CONTEXT_EXPIRED:
            return RecordNext::kClosed;
        case SEC_I_RENEGOTIATE:
            // SECURITY: TLS 1.3 has no renegotiation; Schannel reports its post-handshake
            // messages (a key update, a new ticket) so, and they must reach the context. In
            // TLS 1.2 it is a client asking for a new handshake in mid-session, which is
            // refused: nothing the peer sends makes the handshake start over.
            return isTls13 ? RecordNext::kPostHandshake : RecordNext::kBroken;
        default:
            return RecordNext::kBroken;
    }
}

std::size_t keepUnreadBytes(char* input, std::size_t length, std::size_t extra) {
    // SECURITY: a count beyond what was given is not Schannel's to make; nothing is kept.
    if (extra == 0 || extra > length) {
        return 0;
    }
    std::memmove(input, input + length - extra, extra);
    return extra;
}

std::size_t recordOutputSize(const RecordLayout& layout) {
    return layout.header + layout.maximumMessage + layout.trailer;
}

std::size_t recordInputSize(const RecordLayout& layout, std::size_t waiting) {
    std::size_t size = recordOutputSize(layout) + kRecordExpansion;
    return size < waiting ? waiting : size;
}

bool isResumptionOf(const SessionFacts& data, const SessionFacts& control) {
    // SECURITY: Schannel keeps one session cache for every connection of the credential, so
    // "resumed" alone would let a data connection resume any session of this server's: another
    // client's, or one the taker made on a control connection of its own. Only the id ties it
    // to this control connection. A resumption keeps the protocol of the session it resumes, so
    // ids that match across protocols name no one session: under TLS 1.3 the id may be the
    // legacy one, which the client chooses.
    if (!data.resumed || data.isTls13 != control.isTls13) {
        return false;
    }
    if (control.idLength == 0 || control.idLength > kSessionIdSize ||
        data.idLength != control.idLength) {
        return false;
    }
    return std::memcmp(data.id, control.id, control.idLength) == 0;
}
