// platform/windows/local_addresses.cpp: the host's own addresses, the interfaces that hold them
// and the ephemeral port range, from Winsock and the IP helper.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>
// After the socket headers, whose types its declarations use.
#include <iphlpapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

static constexpr std::size_t kHostNameSize = 256;

int queryEphemeralPorts(int* low, int* high) {
    *low = 49152;  // the default since Windows Vista; no API reads what netsh set
    *high = 65535;
    return 0;
}

int queryLocalAddresses(NetworkAddress* out, int maxCount) {
    // On Windows the host name's entry lists every configured IPv4 address, in the order the
    // system prefers, which is the list the operator expects.
    char hostName[kHostNameSize];
    if (gethostname(hostName, static_cast<int>(sizeof hostName)) != 0) {
        return failWithSocketError();
    }
    struct hostent* host = gethostbyname(hostName);
    if (host == nullptr) {
        return failWithSocketError();
    }
    if (host->h_addrtype != AF_INET || host->h_length != 4) {
        return 0;
    }
    int count = 0;
    while (count < maxCount && host->h_addr_list[count] != nullptr) {
        std::memset(&out[count], 0, sizeof out[count]);
        out[count].family = AddressFamily::kIpv4;
        std::memcpy(out[count].bytes, host->h_addr_list[count], 4);
        count++;
    }
    return count;
}

// Microsoft's advice for the first call; adapters that come and go between the calls that
// learn the size needed are met by a bounded number of tries.
static constexpr ULONG kAdapterBufferSize = 15 * 1024;
static constexpr int kAdapterQueryAttempts = 3;

// The adapters and their unicast addresses, on the heap (release with std::free), or nullptr
// with the error set.
static IP_ADAPTER_ADDRESSES_LH* queryAdapters() {
    ULONG size = kAdapterBufferSize;
    for (int attempt = 0; attempt < kAdapterQueryAttempts; attempt++) {
        IP_ADAPTER_ADDRESSES_LH* adapters =
            static_cast<IP_ADAPTER_ADDRESSES_LH*>(std::malloc(size));
        if (adapters == nullptr) {
            (void)failWithRuntimeError(ENOMEM);
            return nullptr;
        }
        ULONG result = GetAdaptersAddresses(
            AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, adapters, &size);
        if (result == NO_ERROR) {
            return adapters;
        }
        std::free(adapters);
        if (result != ERROR_BUFFER_OVERFLOW) {
            recordError(static_cast<int>(result), ErrorSource::kSystem);
            return nullptr;
        }
    }
    recordError(ERROR_BUFFER_OVERFLOW, ErrorSource::kSystem);
    return nullptr;
}

static const IP_ADAPTER_UNICAST_ADDRESS_LH* findUnicastAddress(
    const IP_ADAPTER_ADDRESSES_LH* adapter, const NetworkAddress* address) {
    for (const IP_ADAPTER_UNICAST_ADDRESS_LH* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
        int length = unicast->Address.iSockaddrLength;
        struct sockaddr_storage storage;
        NetworkAddress held;
        if (unicast->Address.lpSockaddr == nullptr || length <= 0 ||
            static_cast<std::size_t>(length) > sizeof storage) {
            continue;
        }
        std::memset(&storage, 0, sizeof storage);
        std::memcpy(&storage, unicast->Address.lpSockaddr, static_cast<std::size_t>(length));
        if (fromSocketAddress(reinterpret_cast<struct sockaddr*>(&storage), &held) != 0) {
            continue;
        }
        // An address given without a zone may still be one of a link-local adapter's.
        if (address->scope == 0) {
            held.scope = 0;
        }
        if (isSameHost(&held, address)) {
            return unicast;
        }
    }
    return nullptr;
}

int describeLocalAddress(const NetworkAddress* address, LocalAddressDetails* out) {
    IP_ADAPTER_ADDRESSES_LH* adapters = queryAdapters();
    if (adapters == nullptr) {
        return -1;
    }
    const IP_ADAPTER_ADDRESSES_LH* adapter = adapters;
    const IP_ADAPTER_UNICAST_ADDRESS_LH* unicast = nullptr;
    while (adapter != nullptr && (unicast = findUnicastAddress(adapter, address)) == nullptr) {
        adapter = adapter->Next;
    }
    int result = -1;
    if (unicast == nullptr) {
        recordError(WSAEADDRNOTAVAIL, ErrorSource::kSocket);
    } else if (toUtf8Text(adapter->FriendlyName != nullptr ? adapter->FriendlyName : L"",
                          out->interfaceName, sizeof out->interfaceName) == 0) {
        out->prefixLength = unicast->OnLinkPrefixLength;
        result = 0;
    }
    std::free(adapters);
    return result;
}
