// Seams of the DNS state, for the tests: the clock it reads and the resolver that
// LookupHostByName asks can be replaced, and the state can be put back as a new process has it.
#ifndef VFW_DNS_STATE_SEAM_H
#define VFW_DNS_STATE_SEAM_H

#include <netdb.h>

#include <ctime>

namespace vfw {
namespace seam {

using DNSClock = time_t (*)();
using DNSResolver = int (*)(const char* name, const char* service, const addrinfo* hints,
                            addrinfo** result);

// Each installs its replacement (null: the system's time() / getaddrinfo()) and returns the one
// it replaces. A resolver's results are released with freeaddrinfo().
DNSClock SetDNSClock(DNSClock clock);
DNSResolver SetDNSResolver(DNSResolver resolver);

// Up, never reported, no checker thread, 300 s and 60 s.
void ResetDNSState();

}  // namespace seam
}  // namespace vfw

#endif
