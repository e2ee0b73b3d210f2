// Pieces shared by the configuration store's sources: the entry and free-list records, the
// trace, the scoped locks, the text rules and the checked file opening.
//
// Functions that take a Props* expect a valid object. Functions named *Locked expect the
// caller to hold the entry lock. The text functions may throw std::bad_alloc; every public
// operation catches it and answers -12.
#ifndef VFW_CPROPERTIES_INTERNAL_H
#define VFW_CPROPERTIES_INTERNAL_H

#include "vfw/cproperties.h"

#include "cproperties_alloc.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vfw {

struct PropEntry {
    int32_t type;      // PropEntryType
    char* name;        // never null
    char* interValue;  // after `$` expansion, with quotes and escapes; null for host facts
    char* value;       // after unescaping and unquoting; null when the line had no value
    PropEntry* prev;
    PropEntry* next;
    bool changed = false;  // set or replaced since the last load or save
    bool written = false;  // used only while the store is saved: its line is in the new file
};

struct DeletedNames {
    std::vector<std::string> names;
};

enum FreeListType { FREE_STRING = 0, FREE_LIST = 1 };

struct FreeListEntry {
    int32_t type;  // FreeListType
    char* name;    // property the list was made for; null for strings and unnamed lists
    void* object;
    FreeListEntry* next;
};

namespace cprops {

enum TraceLevel {
    TRACE_NONE = 0,
    TRACE_ERROR = 1,
    TRACE_WARNING = 2,
    TRACE_INFO = 3,
    TRACE_DEBUG = 4,
    TRACE_TRACE = 5,
    TRACE_LOCK = 6,
};

// Opens the trace file when VFW_PROPERTIES2_DEBUG is set; leaves traceFd -1 otherwise.
void openTrace(Props* props);
bool traceEnabled(const Props* props, int level);
// One record: level name, " : ", op, " (", hex line, ") : ", then the pieces ("null" for a
// null or empty piece). Never throws; a record that cannot be built is dropped.
void trace(Props* props, int level, const char* op, int line,
           std::initializer_list<const char*> pieces) noexcept;
std::string num(long long value);

}  // namespace cprops

#define CPROPS_TRACE(props, level, op, ...)                                        \
    do {                                                                           \
        if (::vfw::cprops::traceEnabled((props), (level))) {                       \
            ::vfw::cprops::trace((props), (level), (op), __LINE__, {__VA_ARGS__}); \
        }                                                                          \
    } while (0)

namespace cprops {

// Scoped entry and free-list locks with their LOCK trace records.
class EntryLock {
  public:
    EntryLock(Props* props, const char* op, int line);
    ~EntryLock();
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;

  private:
    Props* m_props;
    const char* m_op;
    int m_line;
};

class FreeListLock {
  public:
    FreeListLock(Props* props, const char* op, int line);
    ~FreeListLock();
    FreeListLock(const FreeListLock&) = delete;
    FreeListLock& operator=(const FreeListLock&) = delete;

  private:
    Props* m_props;
    const char* m_op;
    int m_line;
};

// ---- Text rules (cproperties_text.cpp) ----

bool isBlank(char c);  // blank, tab, line feed, carriage return, vertical tab, form feed
// Removes escapes outside quoted regions, or unquotes when the whole text is one quoted
// string (so that escaped quote marks outside quotes stay literal).
std::string unescapeUnquote(const std::string& text);
// Unquotes when the whole text is one quoted string; otherwise returns it unchanged.
std::string unquote(const std::string& text);
// Splits a logical line into its name and value. False when the line is not a property.
// `hasValue` is false when the line ends after the name.
bool splitLine(const std::string& line, std::string& name, std::string& value, bool& hasValue);
// Items of an inline value list, unescaped and unquoted.
void splitInlineList(const std::string& text, std::vector<std::string>& items);
// Items of one list-file line (trimmed, unquoted, cut at commas and white space).
void splitListFileLine(const std::string& line, std::vector<std::string>& items);
std::string trimBlanks(const std::string& text);
bool equalsIgnoreCase(const char* a, const char* b);
bool startsWithIgnoreCase(const char* text, const char* prefix);

// Reads one logical line (at most 1023 characters). Returns 0 with a line, 1 at the end of
// the input, -5 on a read error, an overlong line or a NUL byte (the rest of that physical
// line is consumed). `joinContinuations` joins lines ending in an odd backslash run;
// comment lines (first character '!' or '#') set `comment` and never continue.
int getLine(Props* props, FILE* stream, bool joinContinuations, std::string& line, bool& comment);
constexpr size_t kMaxLine = 1023;

// ---- References and host facts (cproperties_refs.cpp) ----

// `$` expansion of `text` (entry lock held).
std::string expandLocked(Props* props, const std::string& text);
// Reads the four host facts and stores them as entries of type 0: 0, or -12 when one could
// not be stored (the others still are).
int loadHostFacts(Props* props);
extern const char* const kHostFactPrefix;  // "/var/vantrelhub/kset."

// ---- Store and entries (cproperties_store.cpp) ----

inline bool isValid(const Props* props) {
    return props != nullptr && props->magic == PROPS_MAGIC;
}
void installStoreOperations(Props* props);
void freeAllEntries(Props* props);

PropEntry* findLocked(Props* props, const char* name);                // any type, newest first
PropEntry* findTypeLocked(Props* props, const char* name, int type);  // one type
// Creates or replaces (in place) an entry; its strings are copied first, so on failure
// (-12) nothing changes.
int putEntryLocked(Props* props, int type, const char* name, const char* interValue,
                   const char* value);
void unlinkEntryLocked(Props* props, PropEntry* entry);
// Remembers that the property `name` was deleted, for the next save (may throw bad_alloc).
void recordDeletedLocked(Props* props, const char* name);
bool wasDeletedLocked(const Props* props, const std::string& name);
// After a load or a save, memory and the file agree: no entry is changed, nothing deleted.
void forgetChangesLocked(Props* props);
void freeEntry(PropEntry* entry);

// ---- Free list and lists (cproperties_lists.cpp) ----

// Records a string; returns it, or frees it and returns null when it cannot be recorded.
const char* addFreeString(Props* props, char* text);
// Forgets the name of a cached list so that later queries rebuild it (entry lock held).
void forgetCachedListLocked(Props* props, const char* name);
// Releases every recorded object.
void freeAllRecorded(Props* props);
// Builds the joined text of a list (valueListToString without recording it).
std::string joinList(const ValueList* list);
void installListOperations(Props* props);

// ---- Changes, expansion and dump (cproperties_changes.cpp) ----

void installChangeOperations(Props* props);

// ---- Getters (cproperties_getters.cpp) ----

void installGetters(Props* props);

// ---- Checked opening of files (cproperties_open.cpp) ----

enum SkipCheck {
    SKIP_SYMLINK = 1,
    SKIP_HARDLINK = 2,
    SKIP_WORLD_WRITABLE = 4,
    SKIP_OWNER = 8,
    SKIP_ALL = 15,
};

enum OpenCode {
    OPEN_OK = 0,
    OPEN_NOT_FOUND = 1,
    OPEN_NOT_ROOT = 2,
    OPEN_WORLD_WRITABLE = 3,
    OPEN_NO_PERMISSION = 4,
    OPEN_SYMLINK = 5,
    OPEN_HARDLINKS = 6,
    OPEN_INVALID = 7,
    OPEN_EXISTS = 8,
    OPEN_NOT_REGULAR = 9,
    OPEN_AGAIN = 10,
    OPEN_OTHER = 11,
    OPEN_REPLACED = 12,  // the path named another file by the time the opened one was checked
};

// Opens `path` read-only and checks the opened file against the path. On OPEN_OK, `*out`
// is a stream the caller closes; otherwise it is null.
int openChecked(const char* path, int skip, FILE** out);

// Test seam: when set, called with the path after the file is opened and before it is
// checked against the path.
extern void (*g_afterOpenHook)(const char* path);

}  // namespace cprops
}  // namespace vfw

#endif
