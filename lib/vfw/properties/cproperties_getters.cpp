// Typed queries: strings, integers, booleans and times with units.
//
// For the numeric, boolean and time getters a missing or empty value means "not set" and
// the caller's default applies.
#include "cproperties_internal.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "vfw/string_util.h"

namespace vfw {
namespace cprops {

namespace {

void setErr(int* err, int value) {
    if (err != nullptr) {
        *err = value;
    }
}

// Copies the value of `name` into `out`; false when it is not set.
bool readValue(Props* props, const char* name, const char* op, std::string& out) {
    EntryLock lock(props, op, __LINE__);
    PropEntry* entry = findLocked(props, name);
    if (entry == nullptr || entry->value == nullptr || *entry->value == '\0') {
        return false;
    }
    out = entry->value;
    return true;
}

const char* getPropertyWithDefault(Props* props, const char* name, const char* defaultValue,
                                   int* err) {
    setErr(err, 0);
    if (!isValid(props)) {
        setErr(err, -22);
        return nullptr;
    }
    CPROPS_TRACE(props, TRACE_TRACE, "getPropertyWithDefault", " Enter arg: ", name, " ",
                 defaultValue, "\n");
    char* copy = nullptr;
    bool needed = false;
    {
        EntryLock lock(props, "getPropertyWithDefault", __LINE__);
        PropEntry* entry = name != nullptr ? findLocked(props, name) : nullptr;
        const char* source =
            entry != nullptr && entry->value != nullptr ? entry->value : defaultValue;
        needed = source != nullptr;
        copy = copyString(source);
    }
    if (name == nullptr) {
        setErr(err, -22);
    }
    if (!needed) {
        return nullptr;
    }
    const char* result = copy != nullptr ? addFreeString(props, copy) : nullptr;
    if (result == nullptr) {
        CPROPS_TRACE(props, TRACE_ERROR, "getPropertyWithDefault", "Error to allocate memory.\n");
        setErr(err, -12);
    }
    CPROPS_TRACE(props, TRACE_TRACE, "getPropertyWithDefault", " Return: ", result, "\n");
    return result;
}

const char* getProperty(Props* props, const char* name, int* err) {
    return getPropertyWithDefault(props, name, nullptr, err);
}

// Validates the object and name and reads the value; false when the default applies.
bool prepare(Props* props, const char* name, const char* op, int* err, std::string& value) {
    setErr(err, 0);
    if (!isValid(props) || name == nullptr) {
        setErr(err, -22);
        return false;
    }
    CPROPS_TRACE(props, TRACE_TRACE, op, " Enter arg: ", name, "\n");
    try {
        return readValue(props, name, op, value);
    } catch (const std::bad_alloc&) {
        setErr(err, -12);
        return false;
    }
}

int32_t getInt(Props* props, const char* name, int32_t defaultValue, int* err) {
    std::string value;
    if (!prepare(props, name, "getInt", err, value)) {
        return defaultValue;
    }
    long number = std::strtol(value.c_str(), nullptr, 10);
    int32_t result =
        static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(number)));
    CPROPS_TRACE(props, TRACE_TRACE, "getInt", " Return: ", num(result).c_str(), "\n");
    return result;
}

uint32_t getUInt(Props* props, const char* name, uint32_t defaultValue, int* err) {
    std::string value;
    if (!prepare(props, name, "getUInt", err, value)) {
        return defaultValue;
    }
    uint32_t result = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
    CPROPS_TRACE(props, TRACE_TRACE, "getUInt", " Return: ", num(result).c_str(), "\n");
    return result;
}

bool getBool(Props* props, const char* name, bool defaultValue, int* err) {
    std::string value;
    if (!prepare(props, name, "getBool", err, value)) {
        return defaultValue;
    }
    const char* text = value.c_str();
    bool result = defaultValue;
    if (::strcasecmp(text, "true") == 0 || ::strcasecmp(text, "yes") == 0 ||
        ::strcasecmp(text, "1") == 0) {
        result = true;
    } else if (::strcasecmp(text, "false") == 0 || ::strcasecmp(text, "no") == 0 ||
               ::strcasecmp(text, "0") == 0) {
        result = false;
    }
    CPROPS_TRACE(props, TRACE_TRACE, "getBool", " Return: ", boolToString(result).c_str(), "\n");
    return result;
}

int64_t timeFactor(Props* props, char unit) {
    switch (unit) {
        case 's':
            return 1;
        case 'm':
            return 60;
        case 'h':
            return 3600;
        case 'd':
            return 86400;
        case 'w':
            return 604800;
        case 'M':
            return 2628000;
        case 'y':
            return 31536000;
        default: {
            const char text[2] = {unit, '\0'};
            CPROPS_TRACE(props, TRACE_WARNING, "timeFactor",
                         "Bad unit specification in property file: ", text, "\n");
            return 0;
        }
    }
}

// Reads "%d%c": optional white space, a sign, digits, then any one character. Returns the
// number of fields read (0, 1 or 2); `overflow` is set when the number leaves int32_t.
int scanTime(const std::string& text, int64_t& number, char& unit, bool& overflow) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    size_t digits = i;
    number = 0;
    overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = number * 10 + (text[i] - '0');
        if (number > int64_t(INT32_MAX) + 1) {
            overflow = true;
            number = int64_t(INT32_MAX) + 1;
        }
    }
    if (i == digits) {
        return 0;
    }
    number = negative ? -number : number;
    overflow = overflow || number > INT32_MAX;
    if (i == text.size()) {
        return 1;
    }
    unit = text[i];
    return 2;
}

// `value` times `factor` when it fits in int32_t.
bool multiply(int64_t value, int64_t factor, int32_t& result) {
    int64_t product = value * factor;  // both fit in 32 bits, so the product fits in 64
    if (product > INT32_MAX || product < INT32_MIN) {
        return false;
    }
    result = static_cast<int32_t>(product);
    return true;
}

int32_t getTime(Props* props, const char* name, int32_t defaultValue, char defaultUnit, int* err) {
    std::string value;
    bool set = prepare(props, name, "getTime", err, value);
    if (!isValid(props)) {
        return defaultValue;
    }
    int64_t defaultFactor = timeFactor(props, defaultUnit);
    int32_t fallback;
    if (!multiply(defaultValue, defaultFactor, fallback)) {
        fallback = defaultValue < 0 ? INT32_MIN : INT32_MAX;
        setErr(err, -22);
    }
    int32_t result = fallback;
    int64_t number = 0;
    char unit = '\0';
    bool overflow = false;
    int fields = set ? scanTime(value, number, unit, overflow) : 0;
    if (fields > 0 && !overflow && number == -1) {
        result = -1;
    } else if (fields > 0 && number < 0 && !overflow) {
        CPROPS_TRACE(props, TRACE_WARNING, "getTime",
                     "Negative time specification in property file for ", name,
                     " is ignored.  Using default.\n");
        setErr(err, -22);
    } else if (fields > 0) {
        int64_t factor = fields == 2 ? timeFactor(props, unit) : defaultFactor;
        if (factor != 0 && (overflow || !multiply(number, factor, result))) {
            CPROPS_TRACE(props, TRACE_WARNING, "getTime",
                         "Time specification in property file for ", name,
                         " is out of range.  Using default.\n");
            setErr(err, -22);
            result = fallback;
        } else if (factor == 0) {
            result = fallback;
        }
    }
    CPROPS_TRACE(props, TRACE_TRACE, "getTime", name, ": ", num(result).c_str(), " seconds\n");
    return result;
}

}  // namespace

void installGetters(Props* props) {
    props->getProperty = getProperty;
    props->getPropertyWithDefault = getPropertyWithDefault;
    props->getInt = getInt;
    props->getUInt = getUInt;
    props->getBool = getBool;
    props->getTime = getTime;
}

}  // namespace cprops
}  // namespace vfw
