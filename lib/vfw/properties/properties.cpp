// The property layer: the process-wide object, loading through the configuration store,
// look-ups, the prefix range, the key builder and the dumps.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sstream>

#include "properties_internal.h"
#include "vfw/properties.h"

namespace vfw {

namespace {

std::atomic<CProperties2*> g_instance{nullptr};
Mutex* g_creationMutex = nullptr;

const char kDefaultComponent[] = "vaud";

}  // namespace

const char* const CProperties2::CONFIG_PATH = "/etc/vantrelaud/vantrelaud.conf";

bool CProperties2::NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

CProperties2* CProperties2::instance(bool logPropertiesAtDebug, bool reload) {
    CProperties2* object = g_instance.load(std::memory_order_acquire);
    if (object == nullptr) {
        MutexLock lock(*Mutex::getOrCreate(&g_creationMutex));
        object = g_instance.load(std::memory_order_relaxed);
        if (object == nullptr) {
            object = new CProperties2(logPropertiesAtDebug);
            // Installed before the load, so that the logging reconfiguration at its end and
            // the destination read this object.
            setPropertySource(object);
            object->load(CONFIG_PATH, 1);
            g_instance.store(object, std::memory_order_release);
            return object;
        }
    }
    if (reload) {
        object->reload();
    }
    return object;
}

CProperties2::CProperties2(bool logPropertiesAtDebug)
    : m_mutex(new Mutex()),
      m_logPropertiesAtDebug(logPropertiesAtDebug),
      m_log(getLogger("util.properties")) {}

CProperties2::~CProperties2() {
    freeStore();
}

void CProperties2::freeStore() {
    if (m_store != nullptr) {
        freeProps(m_store);
        m_store = nullptr;
    }
}

void CProperties2::reportError(const char* function, const std::string& subject, int code) const {
    const char* name = subject.c_str();
    switch (code) {
        case -2:
            VFW_PROPS_LOG(m_log, LEVEL_INFO, function,
                          "Error in parsing %s because file does not exist.", name);
            break;
        case -1:
            VFW_PROPS_LOG(m_log, LEVEL_INFO, function,
                          "Error in parsing %s because of permission denied.", name);
            break;
        case -125:
            VFW_PROPS_LOG(m_log, LEVEL_INFO, function,
                          "Error in parsing %s because of security reason.\nPlease make sure "
                          "config file must be:\n1. Owned by root.\n2. Not world writable.\n3. "
                          "Not a symlink.\n4. Hardlink count must be 1.\n",
                          name);
            break;
        case -5:
            VFW_PROPS_LOG(m_log, LEVEL_INFO, function, "Error in parsing %s.", name);
            break;
        default:
            VFW_PROPS_LOG(m_log, LEVEL_INFO, function,
                          "Error in parsing %s. Parameter value may not be expected. (error=%d)",
                          name, code);
            break;
    }
}

void CProperties2::load(const char* path, int mode) {
    MutexLock lock(*m_mutex);
    m_values.clear();
    m_interValues.clear();
    m_listDefaults.clear();
    m_listCache.clear();
    m_loaded = false;
    m_path = path != nullptr ? path : "";
    freeStore();

    int result = newPropsFromFile(&m_store, path, mode, 0);
    if (result != 0) {
        // What a failed load read is dropped with the store: value lists and times then
        // come from the callers' defaults, as every other look-up does.
        freeStore();
        if (newProps(&m_store, mode, 0) == -12) {
            throw std::bad_alloc();
        }
        reportError("load", m_path, result);
        return;
    }

    int err = 0;
    const ValueList* all = m_store->getPropertyList(m_store, nullptr, &err);
    if (err == -12) {
        throw std::bad_alloc();
    }
    // The store lists the newest entry first; it is the one its own look-ups find, so an
    // older entry of the same name (a host fact under a property) does not replace it.
    for (const ValueNode* node = all != nullptr ? all->next(all, nullptr) : nullptr;
         node != nullptr; node = all->next(all, node)) {
        const char* value = node->strings[1];
        const char* interValue = node->strings[2];
        m_values.emplace(node->strings[0], value != nullptr ? value : "");
        m_interValues.emplace(node->strings[0], interValue != nullptr ? interValue : "");
    }
    if (all != nullptr) {
        m_store->release(m_store, all);
    }
    m_loaded = true;
    m_dirty = false;
    if (m_skipLoggerReconfigure == 0) {
        ReconfigureLevels(*this);
    }
    if (m_log && m_log->isEnabled(LEVEL_DEBUG)) {
        int level = m_logPropertiesAtDebug ? LEVEL_DEBUG : LEVEL_TRACE;
        for (const auto& entry : m_values) {
            VFW_PROPS_LOG(m_log, level, "load", "property: %s=%s", entry.first.c_str(),
                          entry.second.c_str());
        }
    }
}

bool CProperties2::reload() {
    MutexLock lock(*m_mutex);
    std::string path = m_path.empty() ? CONFIG_PATH : m_path;
    load(path.c_str(), 1);
    return m_loaded;
}

const std::string& CProperties2::operator()(const std::string& name) const {
    MutexLock lock(*m_mutex);
    auto found = m_values.find(name);
    return found != m_values.end() ? found->second : m_empty;
}

const std::string& CProperties2::getInterValue(const std::string& name) const {
    MutexLock lock(*m_mutex);
    auto found = m_interValues.find(name);
    return found != m_interValues.end() ? found->second : m_empty;
}

bool CProperties2::lookup(const std::string& name, std::string& value) const {
    MutexLock lock(*m_mutex);
    auto found = m_values.find(name);
    if (found == m_values.end()) {
        return false;
    }
    value = found->second;
    return true;
}

std::vector<std::pair<std::string, std::string>> CProperties2::listWithPrefix(
    const std::string& prefix) const {
    MutexLock lock(*m_mutex);
    std::vector<std::pair<std::string, std::string>> found;
    ValueMap::const_iterator first;
    ValueMap::const_iterator last;
    if (prefixRange(prefix, first, last)) {
        found.assign(first, last);
    }
    return found;
}

// The range ends at the first name that no longer begins with the prefix. (Bounding it by
// the prefix with its last character incremented would take in names it does not begin:
// "x@" + 1 is "xA", which sorts as "xa", after "x[".)
bool CProperties2::prefixRange(const std::string& prefix, ValueMap::const_iterator& first,
                               ValueMap::const_iterator& last) const {
    MutexLock lock(*m_mutex);
    first = m_values.lower_bound(prefix);
    last = first;
    while (last != m_values.end() &&
           ::strncasecmp(last->first.c_str(), prefix.c_str(), prefix.size()) == 0) {
        ++last;
    }
    if (first == last) {
        first = last = m_values.end();
        return false;
    }
    return true;
}

bool CProperties2::firstWithPrefix(const std::string& text, std::string& name,
                                   std::string& value) const {
    MutexLock lock(*m_mutex);
    ValueMap::const_iterator first;
    ValueMap::const_iterator last;
    prefixRange(text, first, last);
    for (auto it = first; it != last; ++it) {
        if (it->first.compare(0, text.size(), text) == 0) {
            name = it->first;
            value = it->second;
            return true;
        }
    }
    return false;
}

bool CProperties2::hasName(const std::string& name) const {
    MutexLock lock(*m_mutex);
    auto found = m_values.find(name);
    return found != m_values.end() && found->first == name;
}

std::string CProperties2::buildKey(const std::string& component, const std::string& name,
                                   const std::string& suffix) {
    std::string key = component.empty() ? kDefaultComponent : component;
    key += '.';
    key += name;
    if (!suffix.empty()) {
        key += '.';
        key += suffix;
    }
    return key;
}

void CProperties2::dump(std::ostream& out, const std::string& title) const {
    MutexLock lock(*m_mutex);
    if (!title.empty()) {
        out << '#' << title << '\n';
    }
    for (const auto& entry : m_values) {
        out << entry.first << '=' << entry.second << '\n';
    }
}

bool CProperties2::isLoaded() const {
    MutexLock lock(*m_mutex);
    return m_loaded;
}

bool CProperties2::isDirty() const {
    MutexLock lock(*m_mutex);
    return m_dirty;
}

void CProperties2::setSkipLoggerReconfigure(int skip) {
    MutexLock lock(*m_mutex);
    m_skipLoggerReconfigure = skip;
}

bool dumpProperties() {
    std::ostringstream text;
    CProperties2::instance()->dump(text, "Properties dump");
    // Opened without O_CREAT: where there is no terminal device nothing is made in its place.
    int fd = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const std::string bytes = text.str();
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    ::close(fd);
    return written == bytes.size();
}

}  // namespace vfw
