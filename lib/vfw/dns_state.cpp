#include "vfw/dns_state.h"

#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dns_state_seam.h"
#include "vfw/log.h"
#include "vfw/mutex.h"

namespace vfw {
namespace {

const int kSlowLookupSeconds = 10;

struct DNSState {
    bool dnsUp = true;
    time_t lastReport = 0;
    pthread_t checkerThread{};
    bool checkerRegistered = false;
    int staleSeconds = 300;
    int checkerSeconds = 60;
};

Mutex* g_stateLock = nullptr;
DNSState g_state;  // under g_stateLock

time_t systemClock() {
    return time(nullptr);
}

std::atomic<seam::DNSClock> g_clock{systemClock};
std::atomic<seam::DNSResolver> g_resolver{getaddrinfo};

Mutex& stateLock() {
    return *Mutex::getOrCreate(&g_stateLock);
}
time_t now() {
    return g_clock.load()();
}
Logger dnsLogger() {
    return getLogger("dns.state");
}

// The host-error code of a failed getaddrinfo.
int hostError(int gaiError) {
    switch (gaiError) {
        case EAI_SYSTEM:
            return -1;
        case EAI_NODATA:
            return NO_DATA;
        case EAI_AGAIN:
            return TRY_AGAIN;
        case EAI_NONAME:
            return HOST_NOT_FOUND;
        default:
            return NO_RECOVERY;
    }
}

uintptr_t alignUp(uintptr_t at, uintptr_t alignment) {
    return (at + alignment - 1) & ~(alignment - 1);
}

bool noSpace(int* herr) {
    *herr = -1;
    errno = ENOSPC;
    return false;
}

// Lays out the name and the distinct IPv4 addresses of `result` in the buffer. The list of
// pointers grows up from just after the name while the addresses grow down from the end, so
// an address fits when the list, with room for it and the terminator, stays below it.
bool fillHostEntry(const addrinfo* result, const char* name, hostent* out, char* buffer,
                   size_t bufferLength, int* herr) {
    const char* canonical = result->ai_canonname != nullptr ? result->ai_canonname : name;
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t end = start + bufferLength;
    const size_t nameLength = std::strlen(canonical);
    if (buffer == nullptr || nameLength >= bufferLength) {
        return noSpace(herr);
    }
    const uintptr_t listAt = alignUp(start + nameLength + 1, sizeof(char*));
    if (listAt > end || end - listAt < sizeof(char*)) {
        return noSpace(herr);
    }
    std::snprintf(buffer, bufferLength, "%s", canonical);
    char** list = reinterpret_cast<char**>(listAt);
    size_t count = 0;
    uintptr_t low = end;  // the lowest address stored so far
    bool fits = true;
    for (const addrinfo* ai = result; ai != nullptr && fits; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET) {
            continue;
        }
        const in_addr& address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
        bool stored = false;
        for (size_t i = 0; i < count && !stored; ++i) {
            stored = std::memcmp(list[i], &address, sizeof address) == 0;
        }
        if (stored) {
            continue;
        }
        const uintptr_t listEnd = listAt + (count + 2) * sizeof(char*);
        fits =
            low >= listEnd + sizeof address && ((low - sizeof address) & ~uintptr_t{3}) >= listEnd;
        if (fits) {
            low = (low - sizeof address) & ~uintptr_t{3};
            std::memcpy(reinterpret_cast<void*>(low), &address, sizeof address);
            list[count++] = reinterpret_cast<char*>(low);
        }
    }
    list[count] = nullptr;
    if (!fits) {
        return noSpace(herr);
    }
    out->h_name = buffer;
    out->h_aliases = &list[count];  // the terminator: no aliases
    out->h_addrtype = AF_INET;
    out->h_length = sizeof(in_addr);
    out->h_addr_list = list;
    *herr = 0;
    return true;
}

}  // namespace

void DNSUp(bool up) {
    MutexLock lock(stateLock());
    if (up != g_state.dnsUp) {
        Logger log = dnsLogger();
        VFW_LOG(log, LEVEL_INFO, "DNS is %s", up ? "up" : "down");
    }
    g_state.dnsUp = up;
    g_state.lastReport = now();
}

bool IsDNSUp() {
    MutexLock lock(stateLock());
    if (g_state.dnsUp) {
        return true;
    }
    const time_t age = now() - g_state.lastReport;
    if (g_state.checkerRegistered && pthread_equal(g_state.checkerThread, pthread_self())) {
        return age > g_state.checkerSeconds;
    }
    if (age >= 0 && age <= g_state.staleSeconds) {
        return false;
    }
    Logger log = dnsLogger();
    VFW_LOG(log, LEVEL_INFO, "Cached DNS state is stale, resetting to: DNS is up");
    g_state.dnsUp = true;
    return true;
}

void SetDNSCheckerThread() {
    MutexLock lock(stateLock());
    g_state.checkerThread = pthread_self();
    g_state.checkerRegistered = true;
}

void SetDNSIntervals(int staleSeconds, int checkerSeconds) {
    MutexLock lock(stateLock());
    g_state.staleSeconds = staleSeconds;
    g_state.checkerSeconds = checkerSeconds;
}

int DNSSlowLookupSeconds() {
    return kSlowLookupSeconds;
}

hostent* LookupHostByName(const char* name, hostent* out, char* buffer, size_t bufferLength,
                          int* herr) {
    if (name == nullptr || out == nullptr || herr == nullptr) {
        if (herr != nullptr) {
            *herr = -1;
        }
        errno = EINVAL;
        return nullptr;
    }
    if (!IsDNSUp()) {
        *herr = TRY_AGAIN;
        return nullptr;
    }
    const time_t started = now();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    const int rc = g_resolver.load()(name, nullptr, &hints, &result);
    bool filled = false;
    if (rc != 0) {
        *herr = hostError(rc);
    } else if (result == nullptr) {
        *herr = NO_RECOVERY;
    } else {
        filled = fillHostEntry(result, name, out, buffer, bufferLength, herr);
    }
    const int savedErrno = errno;
    if (result != nullptr) {
        freeaddrinfo(result);
    }
    DNSUp(rc == 0 || *herr == 0 || now() - started <= kSlowLookupSeconds);
    errno = savedErrno;
    return filled ? out : nullptr;
}

namespace seam {

DNSClock SetDNSClock(DNSClock clock) {
    return g_clock.exchange(clock ? clock : systemClock);
}

DNSResolver SetDNSResolver(DNSResolver resolver) {
    return g_resolver.exchange(resolver ? resolver : getaddrinfo);
}

void ResetDNSState() {
    MutexLock lock(stateLock());
    g_state = DNSState();
}

}  // namespace seam
}  // namespace vfw
