#include "vfw/dns_state.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/sandbox.h"
#include "vfw/dns_state_seam.h"

namespace {

using Records = std::vector<std::string>;
const std::string kDown = "INFO  dns.state DNS is down";
const std::string kUp = "INFO  dns.state DNS is up";
const std::string kStale = "INFO  dns.state Cached DNS state is stale, resetting to: DNS is up";

// A clock the test sets, advancing by `g_step` on every reading.
time_t g_now = 1000000;
time_t g_step = 0;
time_t testClock() {
    time_t now = g_now;
    g_now += g_step;
    return now;
}

// A resolver that fails with g_resolverError (0: succeeds with no result), counting its calls.
int g_resolverError = 0;
int g_resolverErrno = 0;
int g_resolverCalls = 0;
int testResolver(const char*, const char*, const addrinfo*, addrinfo** result) {
    ++g_resolverCalls;
    *result = nullptr;
    errno = g_resolverErrno;
    return g_resolverError;
}

class DNSStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vfw::seam::ResetDNSState();
        vfw::seam::SetDNSClock(testClock);
        g_step = 0;
    }
    void TearDown() override {
        vfw::seam::SetDNSClock(nullptr);
        vfw::seam::SetDNSResolver(nullptr);
        vfw::seam::ResetDNSState();
    }
    bool upFromOtherThread() {
        bool up = false;
        std::thread([&up] { up = vfw::IsDNSUp(); }).join();
        return up;
    }
    vfw_test::LogCapture m_capture;
};

TEST_F(DNSStateTest, ChangesAreLoggedAndDownIsBelievedUntilStale) {
    vfw::DNSUp(true);
    vfw::DNSUp(false);
    vfw::DNSUp(false);
    EXPECT_EQ(m_capture.records(), Records{kDown}) << "only a change is logged";
    const time_t reported = g_now;
    for (time_t age : {0, 1, 299, 300}) {
        g_now = reported + age;
        EXPECT_FALSE(vfw::IsDNSUp()) << "age " << age;
    }
    g_now = reported + 301;
    EXPECT_TRUE(vfw::IsDNSUp());
    EXPECT_TRUE(vfw::IsDNSUp());
    EXPECT_EQ(m_capture.records(), Records{kStale}) << "reset once";

    vfw::DNSUp(false);
    g_now = reported - 1;
    EXPECT_TRUE(vfw::IsDNSUp()) << "a report from the future is not believed";
    vfw::DNSUp(false);
    vfw::DNSUp(true);
    EXPECT_EQ(m_capture.records(), (Records{kDown, kStale, kDown, kUp}));
}

TEST_F(DNSStateTest, TheCheckerThreadProbesAgainSooner) {
    vfw::SetDNSIntervals(20, 5);
    vfw::DNSUp(false);
    const time_t reported = g_now;
    std::thread checker([reported] {
        vfw::SetDNSCheckerThread();
        for (time_t age : {0, 5, 6, 21}) {
            g_now = reported + age;
            EXPECT_EQ(age > 5, vfw::IsDNSUp()) << "checker at age " << age;
        }
    });
    checker.join();
    g_now = reported + 6;
    EXPECT_FALSE(vfw::IsDNSUp()) << "other threads wait for the stale age";
    g_now = reported + 21;
    EXPECT_TRUE(vfw::IsDNSUp());
    EXPECT_EQ(vfw::DNSSlowLookupSeconds(), 10);
}

struct FailureCase {
    int gaiError;
    int gaiErrno;
    int herr;
    int errnoAfter;  // checked when herr is -1
};

TEST_F(DNSStateTest, ResolverFailuresMapToHostErrors) {
    vfw::seam::SetDNSResolver(testResolver);
    const FailureCase cases[] = {
        {EAI_SYSTEM, EMFILE, -1, EMFILE}, {EAI_NODATA, 0, NO_DATA, 0},
        {EAI_AGAIN, 0, TRY_AGAIN, 0},     {EAI_NONAME, 0, HOST_NOT_FOUND, 0},
        {EAI_FAIL, 0, NO_RECOVERY, 0},    {EAI_MEMORY, 0, NO_RECOVERY, 0},
        {0, 0, NO_RECOVERY, 0},  // success without any result
    };
    for (const FailureCase& c : cases) {
        g_resolverError = c.gaiError;
        g_resolverErrno = c.gaiErrno;
        hostent entry;
        char buffer[64];
        int herr = 12345;
        EXPECT_EQ(vfw::LookupHostByName("host", &entry, buffer, sizeof buffer, &herr), nullptr);
        EXPECT_EQ(herr, c.herr) << "getaddrinfo " << c.gaiError;
        if (c.herr == -1) {
            EXPECT_EQ(errno, c.errnoAfter);
        }
        EXPECT_TRUE(vfw::IsDNSUp()) << "a quick failure leaves DNS up";
    }
    int herr = 0;
    hostent entry;
    errno = 0;
    EXPECT_EQ(vfw::LookupHostByName(nullptr, &entry, nullptr, 0, &herr), nullptr);
    EXPECT_EQ(herr, -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vfw::LookupHostByName("host", nullptr, nullptr, 0, &herr), nullptr);
    EXPECT_EQ(vfw::LookupHostByName("host", &entry, nullptr, 0, nullptr), nullptr);
    EXPECT_TRUE(m_capture.records().empty());
}

// The clock moves on by `g_step` between the lookup's start and its end: a failure taking up
// to 10 s leaves DNS up, a slower one marks it down and later lookups fail at once.
TEST_F(DNSStateTest, ASlowFailureMarksDNSDown) {
    vfw::seam::SetDNSResolver(testResolver);
    g_resolverError = EAI_AGAIN;
    hostent entry;
    char buffer[64];
    int herr = 0;
    g_step = 10;
    EXPECT_EQ(vfw::LookupHostByName("slow", &entry, buffer, sizeof buffer, &herr), nullptr);
    EXPECT_TRUE(vfw::IsDNSUp());
    g_step = 11;
    EXPECT_EQ(vfw::LookupHostByName("slower", &entry, buffer, sizeof buffer, &herr), nullptr);
    g_step = 0;
    EXPECT_EQ(m_capture.records(), Records{kDown});

    const int calls = g_resolverCalls;
    std::thread([&] {
        int otherHerr = 0;
        EXPECT_EQ(vfw::LookupHostByName("x", &entry, buffer, sizeof buffer, &otherHerr), nullptr);
        EXPECT_EQ(otherHerr, TRY_AGAIN);
    }).join();
    EXPECT_EQ(g_resolverCalls, calls) << "no lookup while DNS is down";
}

// The real resolver, reading a private /etc/hosts through "files" only.
const char kHosts[] =
    "127.0.0.1 localhost\n"
    "10.1.2.3 alpha.example alpha\n"
    "10.1.2.4 alpha.example alpha\n"
    "10.1.2.3 alpha.example alpha\n";

std::set<std::string> addresses(const hostent& entry) {
    std::set<std::string> text;
    for (char** p = entry.h_addr_list; *p != nullptr; ++p) {
        text.insert(inet_ntoa(*reinterpret_cast<in_addr*>(*p)));
    }
    return text;
}

NS_TEST(LookupHostByName, LaysTheResultOutInTheCallersBuffer) {
    vfw_test::bindFileInNamespace("/etc/hosts", kHosts);
    vfw_test::bindFileInNamespace("/etc/nsswitch.conf", "hosts: files\n");
    vfw_test::bindFileInNamespace("/etc/host.conf", "multi on\n");
    // "alpha.example" and its NUL take 14 bytes, the list of two addresses and its terminator
    // 24 from offset 16, the two addresses 8 at the end: 48 bytes.
    const size_t kNeeded = 48;
    alignas(8) char buffer[256];
    hostent entry;
    int herr = 99;
    ASSERT_EQ(vfw::LookupHostByName("alpha", &entry, buffer, kNeeded, &herr), &entry) << herr;
    EXPECT_EQ(herr, 0);
    EXPECT_EQ(entry.h_name, buffer);
    EXPECT_STREQ(entry.h_name, "alpha.example");
    EXPECT_EQ(entry.h_aliases[0], nullptr);
    EXPECT_EQ(entry.h_addrtype, AF_INET);
    EXPECT_EQ(entry.h_length, 4);
    EXPECT_EQ(reinterpret_cast<char*>(entry.h_addr_list), buffer + 16);
    EXPECT_EQ(entry.h_addr_list[0], buffer + kNeeded - 4);
    EXPECT_EQ(entry.h_addr_list[1], buffer + kNeeded - 8);
    EXPECT_EQ(entry.h_addr_list[2], nullptr);
    EXPECT_EQ(addresses(entry), (std::set<std::string>{"10.1.2.3", "10.1.2.4"}));

    for (size_t tooSmall : {kNeeded - 1, size_t{14}, size_t{13}, size_t{0}}) {
        errno = 0;
        EXPECT_EQ(vfw::LookupHostByName("alpha", &entry, buffer, tooSmall, &herr), nullptr);
        EXPECT_EQ(herr, -1) << tooSmall << " bytes";
        EXPECT_EQ(errno, ENOSPC) << tooSmall << " bytes";
    }
    EXPECT_EQ(vfw::LookupHostByName("alpha", &entry, nullptr, 0, &herr), nullptr);
    EXPECT_EQ(errno, ENOSPC);

    const std::string names[] = {"", "unknown.example", std::string(10000, 'a'), "\xff\x01 x"};
    for (const std::string& name : names) {
        EXPECT_EQ(vfw::LookupHostByName(name.c_str(), &entry, buffer, sizeof buffer, &herr),
                  nullptr);
        EXPECT_EQ(herr, HOST_NOT_FOUND) << name.substr(0, 20);
    }
    EXPECT_TRUE(vfw::IsDNSUp()) << "quick failures leave DNS up";
}

}  // namespace
