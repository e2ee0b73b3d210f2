// The string helpers of include/vfw/format.h; every number goes through the engine.
#include <strings.h>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vfw/string_util.h"

namespace vfw {
namespace {

// Integers: 64-bit octal, the longest, needs 22 digits.
template <class T>
std::string render(const char* format, T value) {
    char buffer[32];
    const int n = ::snprintf(buffer, sizeof buffer, format, value);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

const char* integerFormat(int base, const char* hex, const char* octal, const char* decimal) {
    return base == 16 ? hex : base == 8 ? octal : decimal;
}

}  // namespace

std::string toString(int32_t value, int base) {
    return render(integerFormat(base, "%x", "%o", "%d"), value);
}

std::string toString(uint32_t value, int base) {
    return render(integerFormat(base, "%x", "%o", "%u"), value);
}

std::string toString(uint64_t value, int base) {
    return render(integerFormat(base, "%llx", "%llo", "%llu"),
                  static_cast<unsigned long long>(value));
}

std::string toString(double value) {
    char buffer[512];  // the largest double has 309 integer digits
    const int n = ::snprintf(buffer, sizeof buffer, "%f", value);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

// Never destroyed, so that they stay valid in the destructors of other static objects.
const std::string& boolToString(bool value) {
    static const std::string& trueText = *new std::string("true");
    static const std::string& falseText = *new std::string("false");
    return value ? trueText : falseText;
}

namespace {
// The two texts exist from start-up on, before any thread can ask for them.
const bool g_boolTextsCreated = !boolToString(true).empty() && !boolToString(false).empty();
}  // namespace

uint32_t stringToUInt(const std::string& text) {
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

bool appendToList(std::string& list, const std::string& item, int& count, int limit) {
    const int offered = count++;
    if (offered < limit) {
        if (offered > 0) {
            list += ", ";
        }
        list += item;
        return true;
    }
    if (offered == limit) {
        list += ",...<truncated>";
    }
    return false;
}

std::string timeToString(time_t when) {
    char buffer[256];
    if (::ctime_r(&when, buffer) == nullptr) {
        return "ctime_r failed";
    }
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::string trim(const std::string& text) {
    static const char kBlanks[] = " \t\n\r\v\f";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string formatString(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int n = ::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        return std::string();
    }
    const size_t stored =
        static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    return std::string(buffer, stored);
}

bool isPrintable(const std::string& text) {
    for (const char c : text) {
        if (std::isprint(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

std::string toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::string printableOrHex(const std::string& text) {
    return isPrintable(text) ? text : toHex(text);
}

void split(const std::string& text, const std::string& delimiters,
           std::vector<std::string>& pieces) {
    size_t start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const size_t end = text.find_first_of(delimiters, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        start = text.find_first_not_of(delimiters, end);
    }
}

std::string join(const std::vector<std::string>& items, const std::string& separator) {
    std::string joined;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            joined += separator;
        }
        joined += items[i];
    }
    return joined;
}

bool isInList(const char* word, const char* const* words) {
    if (word == nullptr || words == nullptr) {
        return false;
    }
    for (; *words != nullptr; ++words) {
        if (::strcasecmp(word, *words) == 0) {
            return true;
        }
    }
    return false;
}

std::string toUpper(const std::string& text) {
    std::string folded(text);
    for (char& c : folded) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return folded;
}

std::string toLower(const std::string& text) {
    std::string folded(text);
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

}  // namespace vfw
