// The configuration syntax: reading logical lines, splitting them into name and value,
// escapes, quoted regions, unquoting, and the splitting of value lists.
//
// A backslash escapes the character after it (so a character is escaped when an odd run of
// backslashes precedes it). A quoted region runs from an unescaped double or single quote
// to the next unescaped occurrence of the same quote character.
#include "cproperties_internal.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace vfw {
namespace cprops {

namespace {

const char kNameEnd[] = " \r\n\v\f\t:=";

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

char controlFor(char letter) {
    switch (letter) {
        case 't':
            return '\t';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 'f':
            return '\f';
        case 'v':
            return '\v';
        default:
            return '\0';
    }
}

// Decodes the escape whose backslash is at `pos`, appends the result and returns the index
// after it. A backslash at the very end is dropped. "\x00" stays as written, since values
// are NUL-terminated strings.
size_t decodeEscape(const std::string& text, size_t pos, std::string& out) {
    if (pos + 1 >= text.size()) {
        return text.size();
    }
    char letter = text[pos + 1];
    if (controlFor(letter) != '\0') {
        out += controlFor(letter);
        return pos + 2;
    }
    if (letter == 'x' && pos + 3 < text.size() && isHexDigit(text[pos + 2]) &&
        isHexDigit(text[pos + 3])) {
        int byte = hexValue(text[pos + 2]) * 16 + hexValue(text[pos + 3]);
        if (byte == 0) {
            out.append(text, pos, 4);
        } else {
            out += static_cast<char>(byte);
        }
        return pos + 4;
    }
    out += letter;
    return pos + 2;
}

// Walks a text one unit at a time, a unit being an escape (a backslash and the character
// after it; a backslash at the very end stands alone) or any other single character, and
// keeps track of the quoted region that the unit stands in.
class QuoteScanner {
  public:
    explicit QuoteScanner(const std::string& text) : m_text(text) {}
    bool done() const { return m_pos >= m_text.size(); }
    size_t pos() const { return m_pos; }
    char at() const { return m_text[m_pos]; }
    bool escape() const { return at() == '\\'; }
    size_t length() const { return escape() && m_pos + 1 < m_text.size() ? 2 : 1; }
    // The quote character of the region the unit is in, 0 outside quotes; a region's
    // opening quote stands outside it, its closing quote inside.
    char quote() const { return m_open; }
    void appendTo(std::string& out) const { out.append(m_text, m_pos, length()); }
    // Past the unit; an unescaped quote opens a region, or closes the one it opened.
    void next() {
        const char c = at();
        if (isQuote(c) && (m_open == 0 || m_open == c)) {
            m_open = m_open == 0 ? c : 0;
        }
        m_pos += length();
    }
    // On to `pos`, past characters that are no quotes.
    void skipTo(size_t pos) { m_pos = pos; }

  private:
    const std::string& m_text;
    size_t m_pos = 0;
    char m_open = 0;
};

// True when the whole text is one quoted string: it starts with a quote and the first
// unescaped occurrence of that quote after it is the last character.
bool isWhollyQuoted(const std::string& text) {
    if (text.size() < 2 || !isQuote(text[0])) {
        return false;
    }
    QuoteScanner scan(text);
    for (scan.next(); !scan.done(); scan.next()) {
        if (!scan.escape() && scan.at() == text[0]) {
            return scan.pos() == text.size() - 1;
        }
    }
    return false;
}

std::string unquoteWhole(const std::string& text) {
    std::string inner = text.substr(1, text.size() - 2);
    if (text[0] == '\'') {
        return inner;
    }
    std::string out;
    for (size_t i = 0; i < inner.size();) {
        if (inner[i] == '\\') {
            i = decodeEscape(inner, i, out);
        } else {
            out += inner[i++];
        }
    }
    return out;
}

std::string unescapeOutsideQuotes(const std::string& text) {
    std::string out;
    for (QuoteScanner scan(text); !scan.done();) {
        if (scan.escape() && scan.quote() == 0) {
            scan.skipTo(decodeEscape(text, scan.pos(), out));
        } else {
            scan.appendTo(out);
            scan.next();
        }
    }
    return out;
}

// Outside quotes, runs of white space become one blank and the ends are trimmed; a lone
// backslash at the end escapes nothing and is dropped.
std::string collapseBlanks(const std::string& raw) {
    std::string collapsed;
    bool pendingBlank = false;
    for (QuoteScanner scan(raw); !scan.done(); scan.next()) {
        if (scan.escape() && scan.length() == 1) {
            break;
        }
        if (scan.quote() == 0 && isBlank(scan.at())) {
            pendingBlank = !collapsed.empty();
            continue;
        }
        if (pendingBlank) {
            collapsed += ' ';
            pendingBlank = false;
        }
        scan.appendTo(collapsed);
    }
    return collapsed;
}

// The value as stored: blanks collapsed, then an escaped t, n, r, f or v outside single
// quotes turned into its control character.
std::string normaliseValue(const std::string& raw) {
    const std::string collapsed = collapseBlanks(raw);
    std::string out;
    for (QuoteScanner scan(collapsed); !scan.done(); scan.next()) {
        const char control =
            scan.escape() && scan.length() == 2 ? controlFor(collapsed[scan.pos() + 1]) : '\0';
        if (control != '\0' && scan.quote() != '\'') {
            out += control;
        } else {
            scan.appendTo(out);
        }
    }
    return out;
}

// Reads one physical line (without its newline) of at most `room` characters.
// 0: a line; 1: end of input; -5: read error; -6: too long or holding a NUL byte (the rest
// of the physical line has been consumed).
int readPhysical(Props* props, FILE* stream, size_t room, std::string& out, bool& newline) {
    out.clear();
    newline = false;
    bool any = false;
    bool bad = false;
    int c;
    while ((c = getc_unlocked(stream)) != EOF) {
        any = true;
        if (c == '\n') {
            newline = true;
            break;
        }
        if (c == '\0' || out.size() >= room) {
            bad = true;
        }
        if (out.size() < room) {
            out += static_cast<char>(c);
        }
    }
    if (ferror_unlocked(stream)) {
        CPROPS_TRACE(props, TRACE_ERROR, "getLine", "Error to read line from file\n");
        return -5;
    }
    if (!any) {
        return 1;
    }
    return bad ? -6 : 0;
}

bool endsWithOddBackslashes(const std::string& line) {
    size_t n = 0;
    while (n < line.size() && line[line.size() - 1 - n] == '\\') {
        ++n;
    }
    return n % 2 == 1;
}

bool inputRemains(FILE* stream) {
    int c = getc_unlocked(stream);
    if (c == EOF) {
        return false;
    }
    std::ungetc(c, stream);
    return true;
}

}  // namespace

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string unescapeUnquote(const std::string& text) {
    return isWhollyQuoted(text) ? unquoteWhole(text) : unescapeOutsideQuotes(text);
}

std::string unquote(const std::string& text) {
    return isWhollyQuoted(text) ? unquoteWhole(text) : text;
}

std::string trimBlanks(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool equalsIgnoreCase(const char* a, const char* b) {
    return ::strcasecmp(a, b) == 0;
}

bool startsWithIgnoreCase(const char* text, const char* prefix) {
    return ::strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

bool splitLine(const std::string& line, std::string& name, std::string& value, bool& hasValue) {
    size_t start = 0;
    while (start < line.size() && isBlank(line[start])) {
        ++start;
    }
    if (start == line.size()) {
        return false;
    }
    size_t end = start;
    while (end < line.size() && std::strchr(kNameEnd, line[end]) == nullptr) {
        end += line[end] == '\\' ? 2 : 1;
    }
    if (end > line.size()) {
        end = line.size();
    }
    name = unescapeUnquote(line.substr(start, end - start));
    if (name.empty()) {
        return false;
    }
    value.clear();
    hasValue = end < line.size();
    if (!hasValue) {
        return true;
    }
    size_t rest = end + 1;
    if ((isBlank(line[end]) || line[end] == ':') && rest < line.size() && line[rest] == '=') {
        ++rest;
    }
    value = normaliseValue(line.substr(rest));
    return true;
}

void splitInlineList(const std::string& text, std::vector<std::string>& items) {
    std::string item;
    for (QuoteScanner scan(text); !scan.done(); scan.next()) {
        if (scan.quote() == 0 && (isBlank(scan.at()) || scan.at() == ',')) {
            if (!item.empty()) {
                items.push_back(unescapeUnquote(item));
                item.clear();
            }
        } else {
            scan.appendTo(item);
        }
    }
    if (!item.empty()) {
        items.push_back(unescapeUnquote(item));
    }
}

void splitListFileLine(const std::string& line, std::vector<std::string>& items) {
    std::string text = trimBlanks(line);
    if (text.empty() || text[0] == '!' || text[0] == '#') {
        return;
    }
    text = unquote(text);
    std::string piece;
    for (char c : text) {
        if (c == ',' || isBlank(c)) {
            if (!piece.empty()) {
                items.push_back(piece);
                piece.clear();
            }
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) {
        items.push_back(piece);
    }
}

namespace {

class StreamLock {
  public:
    explicit StreamLock(FILE* stream) : m_stream(stream) { ::flockfile(stream); }
    ~StreamLock() { ::funlockfile(m_stream); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

  private:
    FILE* m_stream;
};

}  // namespace

int getLine(Props* props, FILE* stream, bool joinContinuations, std::string& line, bool& comment) {
    StreamLock lock(stream);  // one lock per logical line, then unlocked reads
    bool newline = false;
    int rc = readPhysical(props, stream, kMaxLine, line, newline);
    if (rc == -6) {
        CPROPS_TRACE(props, TRACE_ERROR, "getLine", "Error when parsing line: ", line.c_str(),
                     "\n");
        return -5;
    }
    if (rc != 0) {
        return rc;
    }
    comment = !line.empty() && (line[0] == '!' || line[0] == '#');
    if (comment || !joinContinuations) {
        return 0;
    }
    while (endsWithOddBackslashes(line) && newline && inputRemains(stream)) {
        line.back() = ' ';
        std::string next;
        rc = readPhysical(props, stream, kMaxLine - line.size(), next, newline);
        if (rc < 0) {
            if (rc == -6) {
                CPROPS_TRACE(props, TRACE_ERROR, "getLine",
                             "Error when parsing line: ", line.c_str(), "\n");
            }
            return -5;
        }
        line += next;
    }
    return 0;
}

}  // namespace cprops
}  // namespace vfw
