#include "vfw/guid.h"

#include <cctype>

#include "vfw/error_util.h"
#include "vfw/string_util.h"

namespace vfw {

const int kGuidTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

namespace {

const char kExtendedDnPrefix[] = "<GUID=";
const size_t kExtendedDnPrefixLength = sizeof kExtendedDnPrefix - 1;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;
}

// The bytes in stored order (textOrder false) or text order, dashed before positions 4, 6, 8
// and 10 when asked.
std::string hexForm(const Guid& g, bool textOrder, bool dashed) {
    std::string ordered(16, '\0');
    for (int i = 0; i < 16; ++i) {
        ordered[i] = static_cast<char>(g.bytes[textOrder ? kGuidTextOrder[i] : i]);
    }
    std::string hex = toHex(ordered);
    if (dashed) {
        for (size_t at : {20, 16, 12, 8}) {
            hex.insert(at, 1, '-');
        }
    }
    return hex;
}

Guid fromExtendedDn(const std::string& dn, bool textOrder) {
    if (dn.compare(0, kExtendedDnPrefixLength, kExtendedDnPrefix) != 0 ||
        dn.size() < kExtendedDnPrefixLength + 32) {
        VFW_THROW(vfw::BadDataException, -1, "%s is not an extended distinguished name",
                  dn.c_str());
    }
    const char* digits = dn.c_str() + kExtendedDnPrefixLength;
    Guid g{};
    for (int i = 0; i < 16; ++i) {
        g.bytes[textOrder ? kGuidTextOrder[i] : i] =
            static_cast<uint8_t>(hexValue(digits[2 * i]) << 4 | hexValue(digits[2 * i + 1]));
    }
    return g;
}

}  // namespace

std::string GuidToHex(const Guid& g) {
    return hexForm(g, false, false);
}

std::string GuidToHexTextOrder(const Guid& g) {
    return hexForm(g, true, false);
}

std::string GuidToString(const Guid& g) {
    return hexForm(g, true, true);
}

std::string GuidToDashedStoredOrder(const Guid& g) {
    return hexForm(g, false, true);
}

std::string GuidToLdapFilter(const Guid& g) {
    const std::string hex = GuidToHex(g);
    std::string out;
    out.reserve(48);
    for (size_t i = 0; i < hex.size(); i += 2) {
        out += '\\';
        out.append(hex, i, 2);
    }
    return out;
}

std::string GuidToExtendedDn(const Guid& g) {
    return kExtendedDnPrefix + GuidToHex(g) + ">";
}

Guid GuidFromExtendedDn(const std::string& dn) {
    return fromExtendedDn(dn, false);
}

Guid GuidFromExtendedDnTextOrder(const std::string& dn) {
    return fromExtendedDn(dn, true);
}

// A digit left without its partner at the end still fills the high half of its byte.
Guid GuidFromString(const std::string& text) {
    Guid g{};
    if (text == "NULL") {
        return g;
    }
    int digit = 0;
    for (char c : text) {
        if (c == '{' || c == '}' || c == '-') {
            continue;
        }
        if (digit == 32) {
            break;
        }
        uint8_t& byte = g.bytes[kGuidTextOrder[digit / 2]];
        byte = static_cast<uint8_t>(digit % 2 == 0 ? hexValue(c) << 4 : byte | hexValue(c));
        ++digit;
    }
    return g;
}

bool IsGuidString(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vfw
