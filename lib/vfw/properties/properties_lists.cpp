// The property layer's typed look-ups: times with units, and value lists with their cache
// and the escaping that lets a list written by setValueList read back as the same items.
#include <new>

#include "properties_internal.h"
#include "vfw/properties.h"

namespace vfw {

namespace {

// Characters after which the value syntax needs nothing special: a plain item is written as
// it is. Anything else (separators, quotes, backslashes, '$', control characters) puts the
// item between double quotes.
bool isPlain(unsigned char c) {
    if (c < 0x20 || c == 0x7f) {
        return false;
    }
    switch (c) {
        case ' ':
        case ',':
        case '"':
        case '\'':
        case '\\':
        case '$':
            return false;
        default:
            return true;
    }
}

// One item as list text. Inside the double quotes a backslash escapes '"', '\\' and '$' (so
// no reference is expanded when the file is loaded), control characters are written as
// \t \n \r \f \v or \xHH; single quotes need nothing there. The store's inline list reader
// decodes exactly these escapes when it unquotes the item.
std::string escapeItem(const std::string& item) {
    bool plain = !item.empty();
    for (char c : item) {
        plain = plain && isPlain(static_cast<unsigned char>(c));
    }
    if (plain) {
        return item;
    }
    std::string text = "\"";
    for (char c : item) {
        switch (c) {
            case '\0':
                return text + '"';
            case '"':
            case '\\':
            case '$':
                text += '\\';
                text += c;
                break;
            case '\t':
                text += "\\t";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\f':
                text += "\\f";
                break;
            case '\v':
                text += "\\v";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    static const char kHex[] = "0123456789ABCDEF";
                    text += "\\x";
                    text += kHex[static_cast<unsigned char>(c) >> 4];
                    text += kHex[static_cast<unsigned char>(c) & 0xf];
                } else {
                    text += c;
                }
                break;
        }
    }
    return text + '"';
}

// The list as one value; "," (a separator and no item) for the empty list.
std::string joinItems(const CProperties2::StringList& list) {
    if (list.empty()) {
        return ",";
    }
    std::string joined;
    for (const std::string& item : list) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += escapeItem(item);
    }
    return joined;
}

}  // namespace

long CProperties2::getTime(const std::string& name, int defaultValue, char defaultUnit) {
    MutexLock lock(*m_mutex);
    Props* store = m_store;
    Props* scratch = nullptr;
    if (store == nullptr) {
        // Nothing loaded: an empty store converts the default with the same unit rules.
        if (newProps(&scratch, 1, 0) != 0) {
            throw std::bad_alloc();
        }
        store = scratch;
    }
    int err = 0;
    long seconds = store->getTime(store, name.c_str(), defaultValue, defaultUnit, &err);
    if (scratch != nullptr) {
        freeProps(scratch);
    }
    if (err != 0) {
        reportError("getTime", name, err);
    }
    VFW_PROPS_LOG(m_log, LEVEL_TRACE, "getTime", "%s: %ld seconds", name.c_str(), seconds);
    return seconds;
}

CProperties2::StringListPtr CProperties2::getValueList(const std::string& name,
                                                       const std::string& defaultValue) {
    MutexLock lock(*m_mutex);
    auto cached = m_listCache.find(name);
    if (cached != m_listCache.end()) {
        auto builtWith = m_listDefaults.find(name);
        if (builtWith != m_listDefaults.end() && builtWith->second == defaultValue) {
            return cached->second;
        }
        m_listCache.erase(cached);
        if (builtWith != m_listDefaults.end()) {
            m_listDefaults.erase(builtWith);
        }
    }
    if (m_store == nullptr) {
        VFW_PROPS_LOG(m_log, LEVEL_DEBUG, "getValueList",
                      "property: cproperties module is unexpectedly not initialised. Value "
                      "list %s is treated as empty.",
                      name.c_str());
        return StringListPtr(new StringList());
    }

    int err = 0;
    const ValueList* list =
        m_store->getValueList(m_store, name.c_str(), defaultValue.c_str(), &err);
    if (err == -12) {
        throw std::bad_alloc();
    }
    if (err != 0) {
        reportError("getValueList", name, err);
    }
    boost::shared_ptr<StringList> items(new StringList());
    for (const ValueNode* node = list != nullptr ? list->next(list, nullptr) : nullptr;
         node != nullptr; node = list->next(list, node)) {
        items->push_back(node->strings[0]);
    }
    // The store caches lists by name only, whatever the default; this layer caches by name
    // and default, so the store's copy is given back and the next default is parsed anew.
    if (list != nullptr) {
        m_store->release(m_store, list);
    }
    m_listCache[name] = items;
    m_listDefaults[name] = defaultValue;
    if (m_log && m_log->isEnabled(LEVEL_DEBUG)) {
        std::string text = name + ": ";
        for (const std::string& item : *items) {
            text += "(" + item + "), ";
        }
        VFW_PROPS_LOG(m_log, LEVEL_DEBUG, "getValueList", "Property list %s", text.c_str());
    }
    return items;
}

void CProperties2::setValueList(const std::string& name, const StringList& list, int) {
    std::string joined = joinItems(list);
    MutexLock lock(*m_mutex);
    if (m_store == nullptr) {
        VFW_PROPS_LOG(m_log, LEVEL_DEBUG, "setValueList",
                      "property: cproperties module is unexpectedly not initialised. Value "
                      "list %s (%s) may not be set correctly.",
                      name.c_str(), joined.c_str());
        return;
    }
    int result = m_store->setProperty(m_store, name.c_str(), joined.c_str());
    if (result == -12) {
        throw std::bad_alloc();
    }
    if (result != 0) {
        reportError("setValueList", name, result);
        return;
    }
    m_values[name] = joined;
    m_interValues.erase(name);
    m_listDefaults.erase(name);
    m_listCache.erase(name);
    m_dirty = true;
}

int CProperties2::saveProperty(const char* path) {
    MutexLock lock(*m_mutex);
    if (m_store == nullptr) {
        VFW_PROPS_LOG(m_log, LEVEL_DEBUG, "saveProperty",
                      "SaveProperty call without initialising CProperties2");
        return -22;
    }
    int result = vfw::saveProperty(m_store, path);
    if (result == 0) {
        m_dirty = false;
    } else {
        VFW_PROPS_LOG(m_log, LEVEL_INFO, "saveProperty",
                      "Unable to save properties to %s (error=%d)",
                      path != nullptr ? path : CONFIG_PATH, result);
    }
    return result;
}

}  // namespace vfw
