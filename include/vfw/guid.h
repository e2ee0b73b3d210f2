// Directory GUIDs and their text forms.
//
// A `Guid` holds its 16 bytes in the order they travel on the directory's wire: the first
// 4-byte group and the two 2-byte groups little-endian, then 8 bytes as they are. Text order
// differs: text position i holds stored byte kGuidTextOrder[i]. Hex output is lower case; hex
// input takes either case, and any other character where a digit belongs counts as 0.
#ifndef VFW_GUID_H
#define VFW_GUID_H

#include <cstdint>
#include <string>

namespace vfw {

struct Guid {
    uint8_t bytes[16];
};

extern const int kGuidTextOrder[16];

// 32 hex digits, stored order.
std::string GuidToHex(const Guid& g);
// 32 hex digits, text order.
std::string GuidToHexTextOrder(const Guid& g);
// 8-4-4-4-12 with dashes, text order (the usual form), and the same in stored order.
std::string GuidToString(const Guid& g);
std::string GuidToDashedStoredOrder(const Guid& g);
// Each stored byte as a backslash and two hex digits: 48 characters.
std::string GuidToLdapFilter(const Guid& g);
// "<GUID=" + GuidToHex + ">".
std::string GuidToExtendedDn(const Guid& g);
// The GUID of "<GUID=" followed by 32 hex digits, read in stored order or through the text
// order. Anything else (another prefix, fewer digits) throws BadDataException
// "<dn> is not an extended distinguished name".
Guid GuidFromExtendedDn(const std::string& dn);
Guid GuidFromExtendedDnTextOrder(const std::string& dn);
// "NULL" gives 16 zero bytes; otherwise hex digits in text order, "{", "}" and "-" skipped;
// bytes past the end of the text are 0.
Guid GuidFromString(const std::string& text);
// Exactly 36 characters, "-" at 8, 13, 18 and 23 and hex digits everywhere else.
bool IsGuidString(const std::string& text);

}  // namespace vfw

#endif
