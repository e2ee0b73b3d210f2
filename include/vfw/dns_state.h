// Whether DNS is reachable, as the process last found out, and the host lookup that honours it.
//
// Every DNS operation reports its outcome with DNSUp(); IsDNSUp() tells callers whether to try
// one at all. A "down" report is believed for staleSeconds (300 s) and then forgotten, with a
// record, so that a process never stays cut off for good; meanwhile one thread, the checker
// registered with SetDNSCheckerThread(), is let through again once checkerSeconds (60 s) have
// passed since the last report, so that it can find out when DNS is back. Changes of state are
// logged as "DNS is up" / "DNS is down" (logger "dns.state", INFO). The state is process-wide
// and every function may be called from any thread.
#ifndef VFW_DNS_STATE_H
#define VFW_DNS_STATE_H

#include <netdb.h>

#include <cstddef>

namespace vfw {

// Reports the outcome of a DNS operation: true when DNS answered.
void DNSUp(bool up);
// False while a recent "down" report stands (see above); true otherwise.
bool IsDNSUp();
// Makes the calling thread the checker thread (replacing any earlier one).
void SetDNSCheckerThread();
// Sets how long a "down" report is believed and after how long the checker may probe again.
void SetDNSIntervals(int staleSeconds, int checkerSeconds);
// A failed lookup that took longer than this many seconds counts as DNS being down.
int DNSSlowLookupSeconds();

// Looks up the IPv4 addresses of `name` (getaddrinfo, asking for the canonical name) and lays
// the result out in the caller's buffer, as gethostbyname_r does: `out` gets the canonical
// name, no aliases, type AF_INET and length 4; the name is at the start of `buffer`, the
// null-terminated address list follows it on an 8-byte boundary, and the addresses, each
// stored once, fill the buffer from its end downwards on 4-byte boundaries. Returns `out`, or
// null with *herr set: 2 (TRY_AGAIN) at once without a lookup while IsDNSUp() is false,
// 1 (HOST_NOT_FOUND), 4 (NO_DATA), 3 (NO_RECOVERY, also for an answer without addresses), or
// -1 with errno: ENOSPC when the buffer is too small (the list holds what fitted), EINVAL for a
// null name, `out` or `herr`, or the system's error. A failure that took longer than
// DNSSlowLookupSeconds() marks DNS down; any other outcome reports it up.
hostent* LookupHostByName(const char* name, hostent* out, char* buffer, size_t bufferLength,
                          int* herr);

}  // namespace vfw

#endif
