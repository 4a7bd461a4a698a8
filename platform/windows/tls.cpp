// platform/windows/tls.cpp: TLS as the server with Schannel.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>

#include "platform/windows/internal.h"

struct TlsCredentials {
    int unused;
};

TlsCredentials* loadTlsCredentials(const char* /*pemPath*/, char* /*fingerprint*/,
                                   std::size_t /*fingerprintSize*/, char* reason,
                                   std::size_t reasonSize) {
    std::snprintf(reason, reasonSize, "%s", "TLS is not available in this build");
    return nullptr;
}

TlsSession* startTlsSession(TlsCredentials* /*credentials*/, SocketHandle /*socket*/,
                            bool /*resumable*/) {
    failWithRuntimeError(ENOSYS);
    return nullptr;
}

int sendTlsBytes(TlsSession* /*session*/, const char* /*data*/, std::size_t /*length*/) {
    return failWithRuntimeError(ENOSYS);
}

long long receiveTlsBytes(TlsSession* /*session*/, char* /*buffer*/, std::size_t /*size*/) {
    return failWithRuntimeError(ENOSYS);
}

void endTlsSession(TlsSession* /*session*/) {}
