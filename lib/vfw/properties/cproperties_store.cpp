// Creation, loading and freeing of the store, and its list of entries.
#include "cproperties_internal.h"

#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

namespace vfw {

namespace cprops {

void freeEntry(PropEntry* entry) {
    std::free(entry->name);
    std::free(entry->interValue);
    std::free(entry->value);
    destroy(entry);
}

PropEntry* findLocked(Props* props, const char* name) {
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        if (equalsIgnoreCase(entry->name, name)) {
            return entry;
        }
    }
    return nullptr;
}

PropEntry* findTypeLocked(Props* props, const char* name, int type) {
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        if (entry->type == type && equalsIgnoreCase(entry->name, name)) {
            return entry;
        }
    }
    return nullptr;
}

int putEntryLocked(Props* props, int type, const char* name, const char* interValue,
                   const char* value) {
    char* newInter = copyString(interValue);
    char* newValue = copyString(value);
    PropEntry* entry = findTypeLocked(props, name, type);
    PropEntry* created = nullptr;
    if (entry == nullptr) {
        created = create<PropEntry>();
        if (created != nullptr) {
            created->name = copyString(name);
        }
    }
    bool complete = (interValue == nullptr || newInter != nullptr) &&
                    (value == nullptr || newValue != nullptr) &&
                    (entry != nullptr || (created != nullptr && created->name != nullptr));
    if (!complete) {
        std::free(newInter);
        std::free(newValue);
        if (created != nullptr) {
            freeEntry(created);
        }
        return -12;
    }
    if (entry != nullptr) {
        std::free(entry->interValue);
        std::free(entry->value);
    } else {
        entry = created;
        entry->type = type;
        entry->next = props->entries;
        if (props->entries != nullptr) {
            props->entries->prev = entry;
        }
        props->entries = entry;
    }
    entry->interValue = newInter;
    entry->value = newValue;
    entry->changed = true;
    forgetCachedListLocked(props, name);
    return 0;
}

void unlinkEntryLocked(Props* props, PropEntry* entry) {
    if (entry->prev != nullptr) {
        entry->prev->next = entry->next;
    } else {
        props->entries = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->prev = entry->prev;
    }
}

void recordDeletedLocked(Props* props, const char* name) {
    if (props->deleted == nullptr) {
        props->deleted = createOrThrow<DeletedNames>();
    }
    props->deleted->names.emplace_back(name);
}

bool wasDeletedLocked(const Props* props, const std::string& name) {
    if (props->deleted == nullptr) {
        return false;
    }
    for (const std::string& deleted : props->deleted->names) {
        if (equalsIgnoreCase(deleted.c_str(), name.c_str())) {
            return true;
        }
    }
    return false;
}

void forgetChangesLocked(Props* props) {
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        entry->changed = false;
    }
    destroy(props->deleted);
    props->deleted = nullptr;
}

void freeAllEntries(Props* props) {
    EntryLock lock(props, "freeProperties", __LINE__);
    forgetChangesLocked(props);
    while (props->entries != nullptr) {
        PropEntry* entry = props->entries;
        unlinkEntryLocked(props, entry);
        freeEntry(entry);
    }
}

namespace {

int loadLine(Props* props, const std::string& line) {
    std::string name;
    std::string raw;
    bool hasValue = false;
    if (!splitLine(line, name, raw, hasValue)) {
        return 0;
    }
    EntryLock lock(props, "loadFromStream", __LINE__);
    if (!hasValue) {
        return putEntryLocked(props, PROP_PROPERTY, name.c_str(), nullptr, nullptr);
    }
    std::string interValue = expandLocked(props, raw);
    std::string value = unescapeUnquote(interValue);
    return putEntryLocked(props, PROP_PROPERTY, name.c_str(), interValue.c_str(), value.c_str());
}

int loadFromStreamImpl(Props* props, FILE* stream) {
    // A host fact that could not be stored fails the load like a line that could not be.
    int result;
    try {
        result = loadHostFacts(props);
    } catch (const std::bad_alloc&) {
        result = -12;
    }
    std::string line;
    for (;;) {
        bool comment = false;
        int rc = getLine(props, stream, true, line, comment);
        if (rc == 1) {
            break;
        }
        if (rc < 0) {
            CPROPS_TRACE(props, TRACE_ERROR, "loadFromStream",
                         "Fail to read line from config file.\n");
            result = rc;
            break;
        }
        if (comment || line.empty()) {
            continue;
        }
        int lineResult;
        try {
            lineResult = loadLine(props, line);
        } catch (const std::bad_alloc&) {
            lineResult = -12;
        }
        if (lineResult != 0) {
            CPROPS_TRACE(props, TRACE_ERROR, "loadFromStream",
                         "Memory allocation failure. At following line in config file: ",
                         line.c_str(), "\n");
            result = lineResult;
        }
    }
    EntryLock lock(props, "loadFromStream", __LINE__);
    forgetChangesLocked(props);
    props->loaded = 1;
    return result;
}

int openCodeToResult(int code) {
    switch (code) {
        case OPEN_NOT_FOUND:
            return -2;
        case OPEN_NO_PERMISSION:
            return -1;
        case OPEN_NOT_ROOT:
        case OPEN_WORLD_WRITABLE:
        case OPEN_SYMLINK:
        case OPEN_HARDLINKS:
            return -125;
        default:
            return -5;
    }
}

int loadFromStream(Props* props, FILE* stream, int mode) {
    if (!isValid(props) || stream == nullptr || mode != 1) {
        return -22;
    }
    try {
        props->loadMode = mode;
        return loadFromStreamImpl(props, stream);
    } catch (const std::bad_alloc&) {
        props->loaded = 1;
        return -12;
    }
}

int loadFromFileImpl(Props* props, const char* path, int mode) {
    CPROPS_TRACE(props, TRACE_TRACE, "loadFromFile", " Enter arg: ", path, "\n");
    if (props->loaded) {
        freeAllEntries(props);
        CPROPS_TRACE(props, TRACE_DEBUG, "loadFromFile", "free properties in reload\n");
        freeAllRecorded(props);
        CPROPS_TRACE(props, TRACE_DEBUG, "loadFromFile", "destroy freelist in reload\n");
    }
    props->loadMode = mode;
    props->loaded = 0;
    // A save replaces the configuration file by renaming a new one over it: a load that
    // opened the old file just before opens the one that now has the name. A file swapped
    // in is checked like any other; only a path that keeps changing is given up on.
    FILE* stream = nullptr;
    int code = openChecked(path, SKIP_ALL, &stream);
    for (int attempt = 1; code == OPEN_REPLACED && attempt < 10; ++attempt) {
        code = openChecked(path, SKIP_ALL, &stream);
    }
    if (code != OPEN_OK) {
        props->loaded = 1;
        int result = openCodeToResult(code);
        CPROPS_TRACE(props, TRACE_TRACE, "loadFromFile", " Return: ", num(result).c_str(), "\n");
        return result;
    }
    int result = loadFromStreamImpl(props, stream);
    std::fclose(stream);
    if (result != 0) {
        CPROPS_TRACE(props, TRACE_ERROR, "loadFromFile", "loadFromStream has error ",
                     num(result).c_str(), "\n");
    } else {
        CPROPS_TRACE(props, TRACE_DEBUG, "loadFromFile", "loadFromStream is OK\n");
    }
    CPROPS_TRACE(props, TRACE_TRACE, "loadFromFile", " Return: ", num(result).c_str(), "\n");
    return result;
}

int loadFromFile(Props* props, const char* path, int mode) {
    if (!isValid(props) || mode != 1) {
        return -22;
    }
    if (path == nullptr || *path == '\0') {
        return -2;
    }
    try {
        return loadFromFileImpl(props, path, mode);
    } catch (const std::bad_alloc&) {
        props->loaded = 1;
        return -12;
    }
}

bool reload(Props* props, const char* path, int* err) {
    int result = isValid(props) ? loadFromFile(props, path, props->loadMode) : -22;
    if (isValid(props)) {
        CPROPS_TRACE(props, TRACE_DEBUG, "reload", "reload filename ", path, "\n");
    }
    if (err != nullptr) {
        *err = result;
    }
    return result == 0;
}

}  // namespace

void installStoreOperations(Props* props) {
    props->reload = reload;
    props->loadFromStream = loadFromStream;
    props->loadFromFile = loadFromFile;
}

}  // namespace cprops

int newProps(Props** out, int mode, int arg2) {
    if (out == nullptr) {
        return -5;
    }
    *out = nullptr;
    if (mode != 1) {
        return -22;
    }
    Props* props = cprops::create<Props>();
    if (props == nullptr) {
        return -12;
    }
    props->loadMode = mode;
    props->arg2 = arg2;
    cprops::openTrace(props);
    ::pthread_mutex_init(&props->lock, nullptr);
    ::pthread_mutex_init(&props->freeListLock, nullptr);
    cprops::installStoreOperations(props);
    cprops::installChangeOperations(props);
    cprops::installGetters(props);
    cprops::installListOperations(props);
    props->magic = PROPS_MAGIC;
    *out = props;
    return 0;
}

int newPropsFromFile(Props** out, const char* path, int mode, int arg2) {
    if (out != nullptr && (path == nullptr || *path == '\0')) {
        *out = nullptr;
        return -2;
    }
    int result = newProps(out, mode, arg2);
    if (result != 0) {
        return result;
    }
    result = (*out)->loadFromFile(*out, path, mode);
    if (result != 0) {
        CPROPS_TRACE(*out, cprops::TRACE_ERROR, "newPropsFromFile",
                     "Error in opening config file: ", path, "\n");
    }
    return result;
}

int newPropsFromStream(Props** out, FILE* stream, int mode, int arg2) {
    int result = newProps(out, mode, arg2);
    if (result != 0) {
        return result;
    }
    result = (*out)->loadFromStream(*out, stream, mode);
    if (result != 0) {
        CPROPS_TRACE(*out, cprops::TRACE_ERROR, "newPropsFromStream",
                     "Error in opening config file from stream.\n");
    }
    return result;
}

int freeProps(Props* props) {
    if (!cprops::isValid(props)) {
        return -22;
    }
    cprops::freeAllEntries(props);
    cprops::freeAllRecorded(props);
    if (props->traceFd >= 0) {
        ::close(props->traceFd);
    }
    ::pthread_mutex_destroy(&props->lock);
    ::pthread_mutex_destroy(&props->freeListLock);
    props->magic = 0;
    cprops::destroy(props);
    return 0;
}

}  // namespace vfw
