// Changes to the entries, `$` expansion of a caller's string, counting and the dump.
#include "cproperties_internal.h"

#include <cstdlib>
#include <new>
#include <string>

namespace vfw {
namespace cprops {

namespace {

void setErr(int* err, int value) {
    if (err != nullptr) {
        *err = value;
    }
}

int setProperty(Props* props, const char* name, const char* value) {
    if (!isValid(props) || name == nullptr || value == nullptr) {
        return -22;
    }
    if (*name == '\0') {
        return -5;
    }
    CPROPS_TRACE(props, TRACE_TRACE, "setProperty", " Enter arg: ", name, " ", value, "\n");
    int result;
    {
        EntryLock lock(props, "setProperty", __LINE__);
        result = putEntryLocked(props, PROP_PROPERTY, name, value, value);
    }
    CPROPS_TRACE(props, TRACE_TRACE, "setProperty", " Return: ", num(result).c_str(), "\n");
    return result;
}

int setPropertyInternal(Props* props, const char* name, const char* value) {
    if (!isValid(props) || name == nullptr) {
        return -22;
    }
    EntryLock lock(props, "setPropertyInternal", __LINE__);
    PropEntry* entry = findTypeLocked(props, name, PROP_PROPERTY);
    if (entry == nullptr) {
        return -2;
    }
    char* copy = copyString(value);
    if (value != nullptr && copy == nullptr) {
        return -12;
    }
    std::free(entry->value);
    entry->value = copy;
    entry->changed = true;
    forgetCachedListLocked(props, name);
    return 0;
}

bool deleteProperty(Props* props, const char* name, int* err) {
    setErr(err, 0);
    if (!isValid(props) || name == nullptr) {
        setErr(err, -22);
        return false;
    }
    EntryLock lock(props, "deleteProperty", __LINE__);
    PropEntry* entry = findTypeLocked(props, name, PROP_PROPERTY);
    if (entry == nullptr) {
        setErr(err, -2);
        return false;
    }
    try {
        recordDeletedLocked(props, entry->name);
    } catch (const std::bad_alloc&) {
        setErr(err, -12);
        return false;
    }
    forgetCachedListLocked(props, entry->name);
    unlinkEntryLocked(props, entry);
    freeEntry(entry);
    return true;
}

bool delPropertySet(Props* props, const char* prefix, int* err) {
    setErr(err, 0);
    if (!isValid(props) || prefix == nullptr) {
        setErr(err, -22);
        return false;
    }
    bool removed = false;
    EntryLock lock(props, "delPropertySet", __LINE__);
    PropEntry* entry = props->entries;
    while (entry != nullptr) {
        PropEntry* next = entry->next;
        if (entry->type == PROP_PROPERTY && startsWithIgnoreCase(entry->name, prefix)) {
            try {
                recordDeletedLocked(props, entry->name);
            } catch (const std::bad_alloc&) {
                setErr(err, -12);
                return removed;
            }
            forgetCachedListLocked(props, entry->name);
            unlinkEntryLocked(props, entry);
            freeEntry(entry);
            removed = true;
        }
        entry = next;
    }
    return removed;
}

int expandEnvVariables(Props* props, char** value) {
    if (!isValid(props) || value == nullptr || *value == nullptr) {
        return -22;
    }
    try {
        std::string expanded;
        {
            EntryLock lock(props, "expandEnvVariables", __LINE__);
            expanded = expandLocked(props, *value);
        }
        char* copy = copyString(expanded.c_str());
        if (copy == nullptr) {
            throw std::bad_alloc();
        }
        std::free(*value);
        *value = copy;
        return 0;
    } catch (const std::bad_alloc&) {
        CPROPS_TRACE(props, TRACE_ERROR, "expandEnvVariables",
                     "Memory allocation failure. At following line in config file: ", *value, "\n");
        return -12;
    }
}

// Mode 1, the only one the store accepts, keeps dollar signs as written, so there is no
// doubling to undo.
int unExpandEnvVariables(Props* props, char** value) {
    if (!isValid(props) || value == nullptr || *value == nullptr) {
        return -22;
    }
    return 0;
}

int isLoaded(Props* props) {
    return isValid(props) ? props->loaded : -22;
}

int size(Props* props) {
    if (!isValid(props)) {
        return -22;
    }
    EntryLock lock(props, "size", __LINE__);
    int count = 0;
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        ++count;
    }
    return count;
}

const char* orNull(const char* text) {
    return text != nullptr ? text : "(null)";
}

int dump(Props* props, FILE* stream) {
    if (!isValid(props)) {
        return -22;
    }
    EntryLock lock(props, "dump", __LINE__);
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        const char* type = entry->type == PROP_HOST_FACT ? "KSET" : "PROPERTIES";
        if (stream != nullptr) {
            std::fprintf(stream, "TYPE: %s NAME: %s VALUE: %s INTERVALUE: %s\n", type, entry->name,
                         orNull(entry->value), orNull(entry->interValue));
        } else {
            CPROPS_TRACE(props, TRACE_INFO, "dump", "TYPE: ", type, " NAME: ", entry->name,
                         " VALUE: ", orNull(entry->value),
                         " INTERVALUE: ", orNull(entry->interValue), "\n");
        }
    }
    return 0;
}

}  // namespace

void installChangeOperations(Props* props) {
    props->setProperty = setProperty;
    props->setPropertyInternal = setPropertyInternal;
    props->deleteProperty = deleteProperty;
    props->delPropertySet = delPropertySet;
    props->expandEnvVariables = expandEnvVariables;
    props->unExpandEnvVariables = unExpandEnvVariables;
    props->isLoaded = isLoaded;
    props->size = size;
    props->dump = dump;
}

}  // namespace cprops
}  // namespace vfw
