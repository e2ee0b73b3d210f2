// Small string helpers of the framework: numbers to text, lists, trimming, splitting and
// joining, case and hex forms. They are pure functions of their arguments; the ones that
// format do so with the framework's engine (format.h).
#ifndef VFW_STRING_UTIL_H
#define VFW_STRING_UTIL_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace vfw {

// Numbers to text: base 16 ("%x"), 8 ("%o"), anything else decimal.
std::string toString(int32_t value, int base = 10);
std::string toString(uint32_t value, int base = 10);
std::string toString(uint64_t value, int base = 10);
std::string toString(double value);  // "%f"

// "true" or "false": two process-wide constant strings.
const std::string& boolToString(bool value);

// strtoul with base 0 (decimal, 0 octal, 0x hexadecimal), truncated to 32 bits.
uint32_t stringToUInt(const std::string& text);

// Appends `item` to `list`, ", "-separated, and counts it in `count` (the caller keeps
// `count`, starting at 0). Once `limit` items are in, the next call appends
// ",...<truncated>" instead, later calls append nothing, and all of them return false.
bool appendToList(std::string& list, const std::string& item, int& count, int limit);

// ctime_r text of `when` without its newline; "ctime_r failed" when ctime_r fails.
std::string timeToString(time_t when);

// Without leading and trailing " \t\n\r\v\f".
std::string trim(const std::string& text);

// The format rendered with the engine into 1024 bytes: at most 1023 characters.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when `text` is empty or every byte passes isprint.
bool isPrintable(const std::string& text);
// Two lower-case hex digits per byte.
std::string toHex(const std::string& bytes);
// `text` itself when printable, else its hex form.
std::string printableOrHex(const std::string& text);

// Appends to `pieces` the non-empty pieces of `text` cut at every character of `delimiters`.
void split(const std::string& text, const std::string& delimiters,
           std::vector<std::string>& pieces);
// The items with `separator` between consecutive ones.
std::string join(const std::vector<std::string>& items, const std::string& separator);

// Case-insensitive search of `word` in a null-terminated array of words.
bool isInList(const char* word, const char* const* words);

// Copies with every letter passed through toupper / tolower.
std::string toUpper(const std::string& text);
std::string toLower(const std::string& text);

}  // namespace vfw

#endif
