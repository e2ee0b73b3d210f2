// GUID text forms. The example GUID reads 01234567-89ab-cdef-0011-223344556677 as text; its
// first three groups are stored little-endian.
#include <gtest/gtest.h>

#include <cstring>

#include "vfw/error_util.h"
#include "vfw/guid.h"

namespace {

const vfw::Guid kExample = {{0x67, 0x45, 0x23, 0x01, 0xab, 0x89, 0xef, 0xcd, 0x00, 0x11, 0x22, 0x33,
                             0x44, 0x55, 0x66, 0x77}};
const char kText[] = "01234567-89ab-cdef-0011-223344556677";
const char kStoredHex[] = "67452301ab89efcd0011223344556677";

std::string hexOf(const vfw::Guid& g) {
    return vfw::GuidToHex(g);
}

TEST(Guid, EveryTextFormFollowsItsOrder) {
    EXPECT_EQ(vfw::GuidToHex(kExample), kStoredHex);
    EXPECT_EQ(vfw::GuidToHexTextOrder(kExample), "0123456789abcdef0011223344556677");
    EXPECT_EQ(vfw::GuidToString(kExample), kText);
    EXPECT_EQ(vfw::GuidToDashedStoredOrder(kExample), "67452301-ab89-efcd-0011-223344556677");
    EXPECT_EQ(vfw::GuidToLdapFilter(kExample),
              "\\67\\45\\23\\01\\ab\\89\\ef\\cd\\00\\11\\22\\33\\44\\55\\66\\77");
    EXPECT_EQ(vfw::GuidToExtendedDn(kExample), std::string("<GUID=") + kStoredHex + ">");
}

TEST(Guid, TextIsReadBackWithBracesCaseAndShortTextsAsTheRulesSay) {
    const struct {
        std::string text;
        const char* storedHex;
    } cases[] = {
        {kText, kStoredHex},
        {std::string("{") + kText + "}", kStoredHex},
        {"01234567-89AB-CDEF-0011-223344556677", kStoredHex},
        {"NULL", "00000000000000000000000000000000"},
        {"", "00000000000000000000000000000000"},
        {"0123", "00002301000000000000000000000000"},      // the rest is 0
        {"012", "00002001000000000000000000000000"},       // a lone digit fills the high half
        {"zz234567", "67452300000000000000000000000000"},  // a non-digit counts as 0
        {std::string(kText) + "ffff", kStoredHex},         // digits past 32 are ignored
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hexOf(vfw::GuidFromString(c.text)), c.storedHex) << c.text;
    }
}

TEST(Guid, IsGuidStringWantsTheExactDashedForm) {
    const std::pair<std::string, bool> cases[] = {
        {kText, true},
        {"01234567-89AB-CDEF-0011-223344556677", true},
        {std::string("{") + kText + "}", false},
        {std::string(kText).substr(0, 35), false},
        {std::string(kText) + "0", false},
        {"01234567-89ab-cdef-0011-22334455667g", false},
        {"012345678-9ab-cdef-0011-223344556677", false},
        {"NULL", false},
        {std::string("01234567-89ab-cdef-0011-22334455\0"
                     "677",
                     36),
         false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(vfw::IsGuidString(text), expected) << text;
    }
}

TEST(Guid, ExtendedDnsAreReadInEitherOrderAndAnythingElseRefusedWithTheWholeInput) {
    const std::string dn = std::string("<GUID=") + kStoredHex + ">;CN=x";
    EXPECT_EQ(hexOf(vfw::GuidFromExtendedDn(dn)), kStoredHex);
    EXPECT_EQ(vfw::GuidToString(vfw::GuidFromExtendedDnTextOrder(dn)),
              "67452301-ab89-efcd-0011-223344556677");
    for (const std::string& bad :
         {std::string("<SID=S-1-5-21-1>;<GUID=") + kStoredHex + ">", std::string("<GUID=0123>"),
          std::string("<GUID"), std::string()}) {
        try {
            vfw::GuidFromExtendedDn(bad);
            ADD_FAILURE() << bad;
        } catch (const vfw::BadDataException& e) {
            EXPECT_EQ(std::string(e.what()), bad + " is not an extended distinguished name");
        }
    }
}

}  // namespace
