// Value lists, list files and the free list that owns everything the store hands out.
//
// A list query looks for a list cached under the property's name, else builds one from the
// candidates in turn: the property's interValue, then the caller's default. A candidate
// beginning with "file:" names a list file, which must pass every ownership and permission
// check; a refused or unreadable file is traced, reported in *err, and the next candidate
// is tried. Any other candidate is split inline.
#include "cproperties_internal.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace vfw {
namespace cprops {

namespace {

void setErr(int* err, int value) {
    if (err != nullptr) {
        *err = value;
    }
}

int listSize(const ValueList* list) {
    return list != nullptr ? list->nodes : 0;
}

const ValueNode* listNext(const ValueList* list, const ValueNode* node) {
    if (list == nullptr) {
        return nullptr;
    }
    return node == nullptr ? list->first : node->next;
}

const ValueNode* listLast(const ValueList* list) {
    return list != nullptr ? list->lastNode : nullptr;
}

int listCountNodes(ValueList* list) {
    if (list == nullptr) {
        return 0;
    }
    ::pthread_mutex_lock(&list->mutex);
    int count = 0;
    for (const ValueNode* node = list->first; node != nullptr; node = node->next) {
        ++count;
    }
    ::pthread_mutex_unlock(&list->mutex);
    return count;
}

void destroyList(ValueList* list) {
    ValueNode* node = list->first;
    while (node != nullptr) {
        ValueNode* next = node->next;
        for (int i = 0; i < node->count; ++i) {
            std::free(node->strings[i]);
        }
        destroy(node);
        node = next;
    }
    ::pthread_mutex_destroy(&list->mutex);
    destroy(list);
}

// Owns a list while it is being built; never hands out a partial one.
class ListBuilder {
  public:
    ListBuilder() : m_list(createOrThrow<ValueList>()) {
        ::pthread_mutex_init(&m_list->mutex, nullptr);
        m_list->size = listSize;
        m_list->next = listNext;
        m_list->last = listLast;
        m_list->countNodes = listCountNodes;
    }
    ~ListBuilder() {
        if (m_list != nullptr) {
            destroyList(m_list);
        }
    }
    ListBuilder(const ListBuilder&) = delete;
    ListBuilder& operator=(const ListBuilder&) = delete;

    void add(std::initializer_list<const char*> strings) {
        ValueNode* node = createOrThrow<ValueNode>();
        for (const char* text : strings) {
            node->strings[node->count] = copyString(text);
            if (text != nullptr && node->strings[node->count] == nullptr) {
                for (int i = 0; i < node->count; ++i) {
                    std::free(node->strings[i]);
                }
                destroy(node);
                throw std::bad_alloc();
            }
            ++node->count;
        }
        if (m_list->lastNode != nullptr) {
            m_list->lastNode->next = node;
        } else {
            m_list->first = node;
        }
        m_list->lastNode = node;
        ++m_list->nodes;
    }
    bool empty() const { return m_list->nodes == 0; }
    ValueList* release() {
        ValueList* list = m_list;
        m_list = nullptr;
        return list;
    }

  private:
    ValueList* m_list;
};

void freeRecord(Props* props, FreeListEntry* record) {
    if (record->type == FREE_STRING) {
        std::free(record->object);
    } else if (record->type == FREE_LIST) {
        destroyList(static_cast<ValueList*>(record->object));
    } else {
        CPROPS_TRACE(props, TRACE_ERROR, "delFreeList",
                     "Undefined type of memory in freelist. Skipped.\n");
    }
    std::free(record->name);
    destroy(record);
}

// Records an object; on failure frees it and returns false.
bool record(Props* props, int type, const char* name, void* object) {
    FreeListEntry* entry = create<FreeListEntry>();
    char* nameCopy = copyString(name);
    if (entry == nullptr || (name != nullptr && nameCopy == nullptr)) {
        CPROPS_TRACE(props, TRACE_ERROR, "addFreeList",
                     "Cannot allocate memory when adding freelist.\n");
        destroy(entry);
        std::free(nameCopy);
        if (type == FREE_LIST) {
            destroyList(static_cast<ValueList*>(object));
        } else {
            std::free(object);
        }
        return false;
    }
    entry->type = type;
    entry->name = nameCopy;
    entry->object = object;
    FreeListLock lock(props, "addFreeList", __LINE__);
    entry->next = props->freeList;
    props->freeList = entry;
    return true;
}

int release(Props* props, const void* object) {
    if (!isValid(props) || object == nullptr) {
        return -22;
    }
    FreeListEntry* found = nullptr;
    {
        FreeListLock lock(props, "delFreeList", __LINE__);
        for (FreeListEntry** link = &props->freeList; *link != nullptr; link = &(*link)->next) {
            if ((*link)->object == object) {
                found = *link;
                *link = found->next;
                break;
            }
        }
    }
    if (found == nullptr) {
        return -2;
    }
    freeRecord(props, found);
    return 0;
}

// The path of a "file:" value (a backslash before a character of the prefix still
// matches), unescaped and unquoted; false for any other value.
bool fileValuePath(const std::string& text, std::string& path) {
    static const char kPrefix[] = "file:";
    size_t i = 0;
    for (const char* p = kPrefix; *p != '\0'; ++p, ++i) {
        if (i < text.size() && text[i] == '\\') {
            ++i;
        }
        if (i >= text.size() || text[i] != *p) {
            return false;
        }
    }
    path = unescapeUnquote(trimBlanks(text.substr(i)));
    return true;
}

int refusalResult(Props* props, int code, const std::string& path, const char* name) {
    const char* p = path.c_str();
    switch (code) {
        case OPEN_NOT_FOUND:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Config file does not exist: ", p,
                         "\n");
            return -2;
        case OPEN_NOT_ROOT:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Config file [", p,
                         "]is not owned by root. Skip reading config file for property ", name,
                         ". Please change its owner to root to enhance security.\n");
            return -125;
        case OPEN_WORLD_WRITABLE:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Config file [", p,
                         "] is world writable. Skip reading config file for property ", name,
                         ". Please ensure the file is not world writable to enhance "
                         "security.\n");
            return -125;
        case OPEN_NO_PERMISSION:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList",
                         "No permission to access config file [", p,
                         "]. Skip reading config file for property ", name,
                         ". Please ensure the file is accessible.\n");
            return -1;
        case OPEN_SYMLINK:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Config file [", p,
                         "] is symlink. Skip reading config file for property ", name,
                         ". Please ensure the file is not symlink\n");
            return -125;
        case OPEN_HARDLINKS:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Config file [", p,
                         "] has more than one hardlinks. Skip reading config file for property ",
                         name, ". Please ensure the file has only one hardlink\n");
            return -125;
        default:
            CPROPS_TRACE(props, TRACE_ERROR, "getValueList", "Cannot open config file [", p,
                         "] due to unknown error. Skip reading config file for property ", name,
                         "\n");
            return -5;
    }
}

// Reads the words of a list file; -5 (nothing kept) on a read error or a bad line.
int readListFile(Props* props, FILE* stream, std::vector<std::string>& items) {
    std::string line;
    for (;;) {
        bool comment = false;
        int rc = getLine(props, stream, false, line, comment);
        if (rc == 1) {
            return 0;
        }
        if (rc < 0) {
            items.clear();
            return rc;
        }
        splitListFileLine(line, items);
    }
}

// Items of one candidate: 0 with the items, or the negative code of a refused file.
int candidateItems(Props* props, const char* name, const std::string& text,
                   std::vector<std::string>& items) {
    std::string path;
    if (!fileValuePath(text, path)) {
        splitInlineList(text, items);
        for (const std::string& item : items) {
            CPROPS_TRACE(props, TRACE_TRACE, "getValueList", " Add ", item.c_str(),
                         " to valuelist\n");
        }
        return 0;
    }
    CPROPS_TRACE(props, TRACE_DEBUG, "getValueList", "Opening config file: ", path.c_str(), "\n");
    FILE* stream = nullptr;
    int code = openChecked(path.c_str(), 0, &stream);
    if (code != OPEN_OK) {
        return refusalResult(props, code, path, name);
    }
    int rc = readListFile(props, stream, items);
    std::fclose(stream);
    if (rc != 0) {
        return refusalResult(props, OPEN_OTHER, path, name);
    }
    return 0;
}

ValueList* buildList(const std::vector<std::string>& items) {
    ListBuilder builder;
    for (const std::string& item : items) {
        builder.add({item.c_str()});
    }
    return builder.empty() ? nullptr : builder.release();
}

const ValueList* getValueListImpl(Props* props, const char* name, const char* defaultValue,
                                  int* err) {
    EntryLock lock(props, "getValueList", __LINE__);
    {
        FreeListLock freeLock(props, "getValueList", __LINE__);
        for (FreeListEntry* entry = props->freeList; entry != nullptr; entry = entry->next) {
            if (entry->type == FREE_LIST && entry->name != nullptr &&
                equalsIgnoreCase(entry->name, name)) {
                CPROPS_TRACE(props, TRACE_DEBUG, "getValueList", "Found property ", name,
                             " in freelist\n");
                return static_cast<ValueList*>(entry->object);
            }
        }
    }
    std::vector<std::string> candidates;
    PropEntry* entry = findLocked(props, name);
    if (entry != nullptr && entry->interValue != nullptr && *entry->interValue != '\0') {
        candidates.push_back(entry->interValue);
    }
    if (defaultValue != nullptr && *defaultValue != '\0') {
        candidates.push_back(defaultValue);
    }
    if (candidates.empty()) {
        CPROPS_TRACE(props, TRACE_DEBUG, "getValueList", name, " is not defined\n");
    }
    for (const std::string& candidate : candidates) {
        std::vector<std::string> items;
        int rc = candidateItems(props, name, candidate, items);
        if (rc != 0) {
            setErr(err, rc);
            continue;
        }
        ValueList* list = buildList(items);
        if (list == nullptr) {
            return nullptr;
        }
        if (!record(props, FREE_LIST, name, list)) {
            setErr(err, -12);
            return nullptr;
        }
        return list;
    }
    return nullptr;
}

const ValueList* getValueList(Props* props, const char* name, const char* defaultValue, int* err) {
    setErr(err, 0);
    if (!isValid(props) || name == nullptr) {
        setErr(err, -22);
        return nullptr;
    }
    CPROPS_TRACE(props, TRACE_TRACE, "getValueList", " Enter arg: ", name, " ", defaultValue, "\n");
    try {
        const ValueList* list = getValueListImpl(props, name, defaultValue, err);
        CPROPS_TRACE(props, TRACE_TRACE, "getValueList",
                     " Return: ", num(list != nullptr ? list->nodes : 0).c_str(), " items\n");
        return list;
    } catch (const std::bad_alloc&) {
        setErr(err, -12);
        return nullptr;
    }
}

bool isStringInPropertyList(Props* props, const char* name, const char* text,
                            const char* defaultValue, int* err) {
    const ValueList* list = getValueList(props, name, defaultValue, err);
    if (text == nullptr) {
        setErr(err, -22);
        return false;
    }
    for (const ValueNode* node = listNext(list, nullptr); node != nullptr;
         node = listNext(list, node)) {
        if (std::strcmp(node->strings[0], text) == 0) {
            return true;
        }
    }
    return false;
}

const ValueList* getPropertyList(Props* props, const char* prefix, int* err) {
    setErr(err, 0);
    if (!isValid(props)) {
        setErr(err, -22);
        return nullptr;
    }
    try {
        ListBuilder builder;
        {
            EntryLock lock(props, "getPropertyList", __LINE__);
            size_t length = prefix != nullptr ? std::strlen(prefix) : 0;
            for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
                if (prefix == nullptr || (std::strncmp(entry->name, prefix, length) == 0 &&
                                          std::strlen(entry->name) > length)) {
                    builder.add({entry->name, entry->value, entry->interValue});
                }
            }
        }
        if (builder.empty()) {
            return nullptr;
        }
        ValueList* list = builder.release();
        if (!record(props, FREE_LIST, nullptr, list)) {
            setErr(err, -12);
            return nullptr;
        }
        return list;
    } catch (const std::bad_alloc&) {
        setErr(err, -12);
        return nullptr;
    }
}

const char* valueListToString(Props* props, const ValueList* list, int /*mode*/, int* err) {
    setErr(err, 0);
    if (!isValid(props) || list == nullptr) {
        setErr(err, -22);
        return nullptr;
    }
    try {
        const char* result = addFreeString(props, copyString(joinList(list).c_str()));
        if (result == nullptr) {
            CPROPS_TRACE(props, TRACE_ERROR, "valueListToString", "Error to allocate memory.\n");
            setErr(err, -12);
        }
        return result;
    } catch (const std::bad_alloc&) {
        setErr(err, -12);
        return nullptr;
    }
}

int setValueList(Props* props, const char* name, const ValueList* list, int /*mode*/) {
    if (!isValid(props) || name == nullptr) {
        return -22;
    }
    if (list == nullptr) {
        return 0;
    }
    try {
        return props->setProperty(props, name, joinList(list).c_str());
    } catch (const std::bad_alloc&) {
        return -12;
    }
}

}  // namespace

const char* addFreeString(Props* props, char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return record(props, FREE_STRING, nullptr, text) ? text : nullptr;
}

void forgetCachedListLocked(Props* props, const char* name) {
    FreeListLock lock(props, "forgetCachedList", __LINE__);
    for (FreeListEntry* entry = props->freeList; entry != nullptr; entry = entry->next) {
        if (entry->type == FREE_LIST && entry->name != nullptr &&
            equalsIgnoreCase(entry->name, name)) {
            std::free(entry->name);
            entry->name = nullptr;
        }
    }
}

void freeAllRecorded(Props* props) {
    FreeListEntry* all = nullptr;
    {
        FreeListLock lock(props, "delFreeList", __LINE__);
        all = props->freeList;
        props->freeList = nullptr;
    }
    while (all != nullptr) {
        FreeListEntry* next = all->next;
        freeRecord(props, all);
        all = next;
    }
}

std::string joinList(const ValueList* list) {
    ValueList* mutableList = const_cast<ValueList*>(list);
    ::pthread_mutex_lock(&mutableList->mutex);
    std::string joined;
    try {
        for (const ValueNode* node = list->first; node != nullptr; node = node->next) {
            if (node != list->first) {
                joined += ' ';
            }
            joined += node->strings[0] != nullptr ? node->strings[0] : "";
        }
    } catch (...) {
        ::pthread_mutex_unlock(&mutableList->mutex);
        throw;
    }
    ::pthread_mutex_unlock(&mutableList->mutex);
    return joined;
}

void installListOperations(Props* props) {
    props->valueListToString = valueListToString;
    props->setValueList = setValueList;
    props->getPropertyList = getPropertyList;
    props->release = release;
    props->getValueList = getValueList;
    props->isStringInPropertyList = isStringInPropertyList;
}

}  // namespace cprops
}  // namespace vfw
