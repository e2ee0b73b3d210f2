// `$` references and the host facts they may name.
//
// A reference is '$' followed by a name (letters, digits and '_'; a name starting with a
// digit is that one digit). It is replaced by the first non-empty of: the host fact, the
// environment variable, the value of an already loaded property of that name, unquoted.
// A '$' inside single quotes, an escaped '$' and a '$' followed by no name stay as written.
#include "cproperties_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace vfw {
namespace cprops {

const char* const kHostFactPrefix = "/var/vantrelhub/kset.";

namespace {

const char kUnknown[] = "<unknown>";
// A host fact is a short name; anything larger is not one.
constexpr off_t kMaxFactSize = 65536;

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string lookupLocked(Props* props, const std::string& name) {
    PropEntry* fact = findTypeLocked(props, name.c_str(), PROP_HOST_FACT);
    if (fact != nullptr && fact->value != nullptr && *fact->value != '\0') {
        return fact->value;
    }
    const char* env = std::getenv(name.c_str());
    if (env != nullptr && *env != '\0') {
        return env;
    }
    PropEntry* property = findTypeLocked(props, name.c_str(), PROP_PROPERTY);
    if (property != nullptr && property->value != nullptr) {
        return property->value;
    }
    return std::string();
}

// Printable text with at most one line feed, as the very last byte.
bool isValidFact(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && i == text.size() - 1) {
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string readFact(Props* props, const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        CPROPS_TRACE(props, TRACE_ERROR, "loadVariable", "Error to open kset file: ", path.c_str(),
                     "\n");
        return kUnknown;
    }
    struct stat st;
    std::string text;
    bool sizeOk = ::fstat(fd, &st) == 0 && st.st_size >= 0 && st.st_size <= kMaxFactSize;
    if (!sizeOk) {
        CPROPS_TRACE(props, TRACE_ERROR, "loadVariable", "Unexpected size of file.\n");
    } else {
        text.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::read(fd, &text[done], text.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        text.resize(done);
    }
    ::close(fd);
    if (!isValidFact(text)) {
        return kUnknown;
    }
    text = trimBlanks(text);
    return text.empty() ? kUnknown : text;
}

// A distinguished name gives the value of its first component.
std::string zoneName(std::string text) {
    if (text.find("CN=") != std::string::npos) {
        text = text.substr(3);
        text = text.substr(0, text.find(','));
    }
    return text.empty() ? kUnknown : text;
}

}  // namespace

std::string expandLocked(Props* props, const std::string& text) {
    std::string out;
    char open = 0;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            out.append(text, i, 2);
            i += 2;
            continue;
        }
        if ((c == '"' || c == '\'') && (open == 0 || open == c)) {
            open = open == 0 ? c : 0;
        } else if (c == '$' && open != '\'') {
            size_t end = i + 1;
            if (end < text.size() && isDigit(text[end])) {
                ++end;
            } else {
                while (end < text.size() && isNameChar(text[end])) {
                    ++end;
                }
            }
            if (end > i + 1) {
                out += unquote(lookupLocked(props, text.substr(i + 1, end - i - 1)));
                i = end;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

int loadHostFacts(Props* props) {
    static const char* const kFacts[][2] = {
        {"host", "JOINNAME"}, {"site", "SITE"}, {"domain", "DOMAIN"}, {"zonename", "ZONE"}};
    int result = 0;
    for (const auto& fact : kFacts) {
        std::string value = readFact(props, std::string(kHostFactPrefix) + fact[0]);
        if (value != kUnknown && std::string(fact[0]) == "zonename") {
            value = zoneName(value);
        }
        EntryLock lock(props, "loadSetting", __LINE__);
        const int rc = putEntryLocked(props, PROP_HOST_FACT, fact[1], nullptr, value.c_str());
        result = result != 0 ? result : rc;
    }
    return result;
}

}  // namespace cprops
}  // namespace vfw
