// Feeds formats and arguments to the formatting engine and checks, for every input, the
// storage rule: nothing is written before the buffer, at or past its size, or past the NUL;
// the NUL is at min(count, size - 1); the stored text is the start of the complete text.
//
// Input: byte 0 is the buffer size, byte 1 chooses the mode, the rest drives it.
// - Raw (byte 1 even): the rest, up to a NUL and at most eight "%", is the format itself.
//   Every integer and pointer argument slot holds a pointer to a writable NUL-terminated
//   scratch string, so any reading of the format is safe: "%d" reads half a pointer, "%s"
//   a scratch string, "%n" stores into one.
// - Typed (byte 1 odd): the rest is cut into conversion specifications (flags, width or "*",
// precision
//   or ".*", length, conversion) with their argument values, and the arguments are laid out
//   exactly as the engine consumes them. Where the engine's rules and the standard's agree,
//   the text must also equal the system library's own formatter's.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t SLOTS = 48;  // integer and pointer argument slots of one call
constexpr size_t DOUBLES = 8;
constexpr size_t SCRATCH = 32;
constexpr size_t REFERENCE = 4096;
constexpr size_t GUARD = 16;
constexpr char UNTOUCHED = '\x5a';

#define FUZZ_CHECK(condition, format)                                                       \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "check failed: %s (format \"%s\")\n", #condition, format); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

struct Arguments {
    uint64_t slots[SLOTS] = {};
    double doubles[DOUBLES] = {};
    alignas(8) char scratch[SLOTS][SCRATCH] = {};
    std::vector<std::string> texts;  // the strings that typed slots point to

    void resetScratch() {
        for (size_t i = 0; i < SLOTS; ++i) {
            std::memset(scratch[i], 'a' + static_cast<int>(i % 26), SCRATCH - 1);
            scratch[i][SCRATCH - 1] = '\0';
        }
    }
};

template <size_t... I, size_t... J>
int renderAll(char* buffer, size_t size, const char* format, const Arguments& a,
              std::index_sequence<I...>, std::index_sequence<J...>) {
    return snprintf(buffer, size, format, a.slots[I]..., a.doubles[J]...);
}

int render(char* buffer, size_t size, const std::string& format, Arguments& arguments) {
    arguments.resetScratch();  // "%n" may have stored into a scratch string
    return renderAll(buffer, size, format.c_str(), arguments, std::make_index_sequence<SLOTS>(),
                     std::make_index_sequence<DOUBLES>());
}

// Renders into a full-size buffer and into `size` bytes between guards; checks the rule.
std::string checkStorage(const std::string& format, size_t size, Arguments& arguments) {
    static char reference[REFERENCE];
    const int count = render(reference, sizeof reference, format, arguments);
    const char* f = format.c_str();
    std::vector<char> memory(size + 2 * GUARD, UNTOUCHED);
    char* buffer = memory.data() + GUARD;
    FUZZ_CHECK(render(buffer, size, format, arguments) == count, f);
    for (size_t i = 0; i < GUARD; ++i) {
        FUZZ_CHECK(memory[i] == UNTOUCHED && buffer[size + i] == UNTOUCHED, f);
    }
    const size_t full = count < 0 ? SIZE_MAX : static_cast<size_t>(count);
    const size_t known = full < REFERENCE - 1 ? full : REFERENCE - 1;
    FUZZ_CHECK(reference[known] == '\0', f);
    if (size > 0) {
        const size_t stored = full < size - 1 ? full : size - 1;
        FUZZ_CHECK(buffer[stored] == '\0', f);
        for (size_t i = stored + 1; i < size; ++i) {
            FUZZ_CHECK(buffer[i] == UNTOUCHED, f);
        }
        const size_t compared = stored < known ? stored : known;
        FUZZ_CHECK(std::memcmp(buffer, reference, compared) == 0, f);
    }
    return count >= 0 && full < REFERENCE ? std::string(reference, full) : std::string();
}

void runRaw(const uint8_t* data, size_t length, size_t size) {
    std::string format;
    int percents = 0;
    for (size_t i = 0; i < length && data[i] != 0 && format.size() < 512; ++i) {
        if (data[i] == '%' && ++percents > 8) {
            break;
        }
        format += static_cast<char>(data[i]);
    }
    Arguments arguments;
    for (size_t i = 0; i < SLOTS; ++i) {
        arguments.slots[i] = reinterpret_cast<uintptr_t>(arguments.scratch[i]);
    }
    const double doubles[DOUBLES] = {0.0, -0.0, 1.5, 1e300, -2.5e-300, 0.125, 1e-320, -7e22};
    std::memcpy(arguments.doubles, doubles, sizeof doubles);
    checkStorage(format, size, arguments);
}

// Reads the input a byte or a value at a time; zeros once it is used up.
struct Reader {
    const uint8_t* data;
    size_t length;
    uint8_t byte() { return length > 0 ? (--length, *data++) : 0; }
    uint64_t value() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = v << 8 | byte();
        }
        return v;
    }
};

using Formatter = int (*)(char*, size_t, const char*, va_list);

int callFormatter(Formatter formatter, char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int count = formatter(buffer, size, format, args);
    va_end(args);
    return count;
}

template <size_t... I>
int callWithSlots(Formatter formatter, char* buffer, size_t size, const char* format,
                  const uint64_t* slots, std::index_sequence<I...>) {
    return callFormatter(formatter, buffer, size, format, slots[I]...);
}

// The text of the system library's formatter, reached past the engine.
std::string systemFormat(const std::string& format, const Arguments& a) {
    static const auto system = reinterpret_cast<Formatter>(dlsym(RTLD_NEXT, "vsnprintf"));
    static char buffer[REFERENCE];
    const int count = callWithSlots(system, buffer, sizeof buffer, format.c_str(), a.slots,
                                    std::make_index_sequence<SLOTS>());
    return count >= 0 && static_cast<size_t>(count) < sizeof buffer ? std::string(buffer, count)
                                                                    : std::string("?");
}

void runTyped(Reader in, size_t size) {
    static const char* const lengths[] = {"", "h", "hh", "l", "ll", "L", "z", "j", "t"};
    static const char conversions[] = "diuoxXpcsfeEgGn%my";
    Arguments arguments;
    arguments.texts.reserve(SLOTS);  // the slots point into these strings: no reallocation
    std::string format;
    size_t slot = 0;
    size_t doubles = 0;
    bool standard = true;  // every conversion specification is one whose rules the standard shares
    while (in.length > 0 && slot + 3 <= SLOTS) {
        const uint8_t shape = in.byte();
        const uint8_t widthByte = in.byte();
        const uint8_t precisionByte = in.byte();
        const uint8_t kind = in.byte();
        format += static_cast<char>('A' + shape % 26);
        format += '%';
        for (int bit = 0; bit < 5; ++bit) {
            if ((shape >> bit & 1) != 0) {
                format += "-+ #0"[bit];
            }
        }
        standard = standard && (shape & 0x18) == 0;
        if ((shape & 0x20) != 0) {
            format += '*';
            arguments.slots[slot++] = static_cast<uint64_t>(static_cast<int64_t>(
                static_cast<int8_t>(widthByte) * ((shape & 0x40) != 0 ? 1000003 : 1)));
            standard = standard && (shape & 0x40) == 0 && static_cast<int8_t>(widthByte) >= 0;
        } else if (widthByte % 4 != 0) {
            format += std::to_string(widthByte / 4);
        }
        if ((precisionByte & 0x80) != 0) {
            format += ".*";
            arguments.slots[slot++] =
                static_cast<uint64_t>(static_cast<int8_t>(precisionByte << 1));
            standard = false;
        } else if ((precisionByte & 0x40) != 0) {
            format += "." + std::to_string(precisionByte & 0x3f);
            standard = standard && (precisionByte & 0x3f) != 0;
        }
        const char* length = lengths[kind % 9];
        char conversion = conversions[kind / 9 % (sizeof conversions - 1)];
        const bool floating = std::strchr("feEgG", conversion) != nullptr;
        if (floating && (doubles == DOUBLES || *length == 'L')) {
            conversion = 'd';  // long doubles do not travel in the slots
        }
        format += length;
        format += conversion;
        const uint64_t value = in.value();
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                arguments.slots[slot++] = value;
                standard = standard && (*length == '\0' || *length == 'l');
                break;
            case 'p':
            case 'c':
                arguments.slots[slot++] = conversion == 'c' ? 'a' + value % 26 : value;
                standard = standard && conversion == 'c' && *length == '\0';
                break;
            case 's': {
                arguments.texts.emplace_back(value % 40, static_cast<char>('a' + value % 26));
                const bool null = value % 7 == 0;
                arguments.slots[slot++] =
                    null ? 0 : reinterpret_cast<uintptr_t>(arguments.texts.back().c_str());
                standard = standard && !null && *length == '\0';
                break;
            }
            case 'n':
                arguments.slots[slot] = reinterpret_cast<uintptr_t>(arguments.scratch[slot]);
                ++slot;
                standard = false;
                break;
            case '%':
            case 'm':
            case 'y':
                standard = false;
                break;
            default:  // floating
                std::memcpy(&arguments.doubles[doubles++], &value, sizeof value);
                standard = false;
                break;
        }
    }
    format += '.';
    const std::string text = checkStorage(format, size, arguments);
    if (standard && slot > 0) {
        FUZZ_CHECK(text == systemFormat(format, arguments), format.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    if (length < 2) {
        return 0;
    }
    const size_t size = data[0];
    if ((data[1] & 1) == 0) {
        runRaw(data + 2, length - 2, size);
    } else {
        runTyped(Reader{data + 2, length - 2}, size);
    }
    return 0;
}
