// The low-level configuration store: parses a configuration file of "name: value" lines,
// adds the host facts read from /var/vantrelhub/kset.*, expands `$` references, and
// answers typed queries, value lists and list files ("file:" values).
//
// Contracts a caller must know:
// - Nothing here throws. Operations return negative errno values (0 success, -22 invalid
//   object or argument, -2 no such file or property, -125 refused for a security reason,
//   -1 permission denied, -5 read error or other failure, -12 out of memory); getters
//   return their value (or the caller's default) and write the code to `*err` when `err`
//   is not null (0 when nothing went wrong).
// - Every string and list handed out stays owned by the store: it lives until it is given
//   back through `release`, or until the store is reloaded or freed, whichever comes first.
//   Callers never free them and never use them after a reload, on any thread.
// - Names compare without regard to case. A list query for a name returns the list cached
//   under that name until the name's property changes or the store is reloaded.
// - Any thread may call any operation. The store's locks are plain (non-recursive) POSIX
//   mutexes taken in the order: entry lock, free-list lock, one list's own lock.
// - Setting VFW_PROPERTIES2_DEBUG to a level (1 ERROR .. 6 LOCK) before `newProps` makes
//   the store trace its calls to /var/vantrelaud/cproperties.log.<pid>.
#ifndef VFW_CPROPERTIES_H
#define VFW_CPROPERTIES_H

#include <pthread.h>

#include <cstdint>
#include <cstdio>

namespace vfw {

// One item of a list: one string for a value list, three (name, value, interValue, the
// latter two possibly null) for a property list.
struct ValueNode {
    int count;
    char* strings[3];
    ValueNode* next;
};

// A list handed out by the store. Walk it with `next(list, nullptr)`, then `next(list,
// node)` until null.
struct ValueList {
    int (*size)(const ValueList* list);
    const ValueNode* (*next)(const ValueList* list, const ValueNode* node);
    const ValueNode* (*last)(const ValueList* list);
    int (*countNodes)(ValueList* list);  // walks the chain under the list's lock
    ValueNode* first;
    ValueNode* lastNode;
    int nodes;
    pthread_mutex_t mutex;
};

struct PropEntry;      // one property or host fact (internal)
struct FreeListEntry;  // one handed-out string or list (internal)
struct DeletedNames;   // names deleted since the last load or save (internal)

enum PropEntryType { PROP_HOST_FACT = 0, PROP_PROPERTY = 1 };

constexpr uint32_t PROPS_MAGIC = 967292994;  // 0x39A7B842

// The store object. Callers go through the operations; the fields between them belong to
// the store.
struct Props {
    // The list items' first strings joined with single blanks (`mode` is not used).
    const char* (*valueListToString)(Props* props, const ValueList* list, int mode, int* err);
    // setProperty(name, valueListToString(list)); 0 for a null list.
    int (*setValueList)(Props* props, const char* name, const ValueList* list, int mode);
    // loadFromFile(path, loadMode): true on success.
    bool (*reload)(Props* props, const char* path, int* err);
    // Creates or replaces the property; its value and interValue both become `value`.
    int (*setProperty)(Props* props, const char* name, const char* value);
    bool (*deleteProperty)(Props* props, const char* name, int* err);
    // Removes every property whose name begins with `prefix` (case-insensitive).
    bool (*delPropertySet)(Props* props, const char* prefix, int* err);
    // Seconds: the value read as a number and an optional unit letter (s m h d w M y).
    int32_t (*getTime)(Props* props, const char* name, int32_t defaultValue, char defaultUnit,
                       int* err);
    // `$` expansion of a heap string (malloc) in place; the string may be reallocated.
    int (*expandEnvVariables)(Props* props, char** value);
    int (*unExpandEnvVariables)(Props* props, char** value);
    // Every entry whose name begins with `prefix` (case-sensitive) and is longer; all
    // entries for a null prefix. Null when there is none.
    const ValueList* (*getPropertyList)(Props* props, const char* prefix, int* err);
    int (*isLoaded)(Props* props);
    int (*size)(Props* props);
    // Gives back one string or list handed out earlier: 0, -2 when it is not the store's.
    int (*release)(Props* props, const void* object);
    const char* (*getProperty)(Props* props, const char* name, int* err);
    const char* (*getPropertyWithDefault)(Props* props, const char* name, const char* defaultValue,
                                          int* err);
    int32_t (*getInt)(Props* props, const char* name, int32_t defaultValue, int* err);
    uint32_t (*getUInt)(Props* props, const char* name, uint32_t defaultValue, int* err);
    bool (*getBool)(Props* props, const char* name, bool defaultValue, int* err);
    bool (*isStringInPropertyList)(Props* props, const char* name, const char* text,
                                   const char* defaultValue, int* err);
    // The property's list (inline items, or the words of a "file:" list file); null when
    // empty.
    const ValueList* (*getValueList)(Props* props, const char* name, const char* defaultValue,
                                     int* err);

    uint32_t magic;
    int32_t loaded;
    int32_t loadMode;
    int32_t arg2;
    PropEntry* entries;
    FreeListEntry* freeList;
    pthread_mutex_t lock;
    pthread_mutex_t freeListLock;
    int traceFd;
    int32_t traceLevel;
    DeletedNames* deleted;

    // Loads the host facts, then every line of `stream`.
    int (*loadFromStream)(Props* props, FILE* stream, int mode);
    // Drops everything loaded or handed out before, then loads `path`.
    int (*loadFromFile)(Props* props, const char* path, int mode);
    // Replaces the value of an existing property only: 0, or -2 when there is none.
    int (*setPropertyInternal)(Props* props, const char* name, const char* value);
    // One line per entry, newest first; a null stream writes to the trace at INFO.
    int (*dump)(Props* props, FILE* stream);
};

// Creation. `mode` must be 1 (references and escaped dollar signs are kept as written);
// `arg2` is stored and not read. The FromFile and FromStream forms hand out the store in
// `*out` even when loading fails (it then holds what could be loaded, or only the host
// facts): the caller frees `*out` whenever it is not null.
int newProps(Props** out, int mode, int arg2);
int newPropsFromFile(Props** out, const char* path, int mode, int arg2);
int newPropsFromStream(Props** out, FILE* stream, int mode, int arg2);
// Frees the entries, everything handed out, the trace file and the object.
int freeProps(Props* props);

// Writes the changes made to the store since it was loaded (or last saved) into the
// configuration file at `path` ("/etc/vantrelaud/vantrelaud.conf" when null), keeping its
// layout: comment lines and other lines stay, the line of a property set since then becomes
// "name: value" when the file holds another value, the line of one deleted since then goes,
// runs of empty lines shrink to one, and properties set since then that the file lacks are
// appended as "name: interValue". What another writer saved meanwhile is kept. Writers are
// serialised by the lock file `path` ".lock"; the new text is written and flushed to `path`
// ".new", which is then renamed over `path` (mode 0644), so a reader or a crash finds the old
// file or the new one, never none or half of one. 0 on success; -22 for an invalid store or a
// lock, configuration or temporary file that cannot be had; -12 out of memory; -5 when the
// old file cannot be read to its end or the new one cannot be written whole (the old file is
// then untouched). The lock file is released on every path.
int saveProperty(Props* store, const char* path);
// The lock file on its own: created exclusively (mode 0600), waiting 10 ms at a time, at
// most 100 times, while a lock younger than 61 seconds exists; an older one is removed.
// The descriptor, or -1.
int createLockFile(const char* lockPath);
// Closes `fd` and removes the lock file: 0, or -1 for a null path, a negative descriptor or
// a failing close or remove.
int releaseLockFile(const char* lockPath, int fd);

}  // namespace vfw

#endif
