// CProperties2: the process's configuration, loaded from "/etc/vantrelaud/vantrelaud.conf"
// through the configuration store (cproperties.h) and kept as maps of strings whose names
// compare without regard to case, with typed access: times with units and value lists.
//
// Contracts a caller must know:
// - instance() creates the process-wide object on first use, installs it as the property
//   source that logging and the runtime read (property_source.h), loads the file and has
//   logging re-read its settings (ReconfigureLevels). It lives until the process ends. Other
//   objects may be constructed: they load what they are told and install nothing, but their
//   loads too make logging re-read its settings, from them, unless setSkipLoggerReconfigure.
// - Nothing here throws for a missing, unreadable or refused file or for a bad value: the
//   problem is logged at INFO on "util.properties" and look-ups give the empty string or the
//   caller's default. A failed load leaves every look-up empty. Out of memory surfaces as
//   std::bad_alloc.
// - Every operation holds the object's recursive mutex(). The references that operator()
//   returns and the iterators of prefixRange point into the object: a caller that keeps
//   them beyond the call holds mutex() meanwhile, since a reload clears the maps.
// - Lock order: this mutex, then the store's locks. A load ends with ReconfigureLevels,
//   which takes logging's locks inside this mutex; logging never reads properties while it
//   holds its own locks, so there is no opposite order.
#ifndef VFW_PROPERTIES_H
#define VFW_PROPERTIES_H

#include <boost/shared_ptr.hpp>

#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vfw/cproperties.h"
#include "vfw/log.h"
#include "vfw/mutex.h"
#include "vfw/property_source.h"

namespace vfw {

class CProperties2 : public PropertySource {
  public:
    // Orders names as strcasecmp does.
    struct NoCaseLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    typedef std::map<std::string, std::string, NoCaseLess> ValueMap;
    typedef std::list<std::string> StringList;
    typedef boost::shared_ptr<const StringList> StringListPtr;

    static const char* const CONFIG_PATH;  // "/etc/vantrelaud/vantrelaud.conf"

    // The process-wide object, created, installed and loaded from CONFIG_PATH on first use.
    // `logPropertiesAtDebug` is taken at creation only. With `reload`, a later call loads the
    // file again first.
    static CProperties2* instance(bool logPropertiesAtDebug = false, bool reload = false);

    // An empty object without a store; `logPropertiesAtDebug`: after each load every
    // property is logged at DEBUG (else at TRACE) when "util.properties" shows DEBUG.
    explicit CProperties2(bool logPropertiesAtDebug = false);
    ~CProperties2() override;
    CProperties2(const CProperties2&) = delete;
    CProperties2& operator=(const CProperties2&) = delete;

    // Drops everything held and loads `path` (mode 1, the only mode the store accepts).
    // Failures are logged; the maps stay empty.
    void load(const char* path, int mode);
    // Loads the path of the last load again (CONFIG_PATH when there was none); true when
    // that load succeeded.
    bool reload();

    // The value of `name`, or the empty string when it is not set.
    const std::string& operator()(const std::string& name) const;
    // The text before unescaping and unquoting; empty when not set or set by setValueList.
    const std::string& getInterValue(const std::string& name) const;
    bool lookup(const std::string& name, std::string& value) const override;
    std::vector<std::pair<std::string, std::string>> listWithPrefix(
        const std::string& prefix) const override;

    // Seconds for a value such as "10m" (units s m h d w M y; a bare number takes
    // `defaultUnit`; -1 passes through); `defaultValue` in `defaultUnit` when not set.
    long getTime(const std::string& name, int defaultValue, char defaultUnit);
    // The items of the property's value list (inline, or a checked "file:" list file), else
    // those of `defaultValue`. Cached per name while the default stays the same; never null.
    StringListPtr getValueList(const std::string& name, const std::string& defaultValue);
    // Stores `list` as the property's value, each item escaped so that getValueList, now or
    // after the value is written to the file and loaded again, gives the same items (an item
    // is cut at a NUL character). An empty list is stored as "," so that it does not read
    // back as the default. `mode` is accepted for the store's callers and changes nothing.
    void setValueList(const std::string& name, const StringList& list, int mode);

    // The entries whose names begin with `prefix` without regard to case: [first, last).
    // False, with both at the end, when there is none.
    bool prefixRange(const std::string& prefix, ValueMap::const_iterator& first,
                     ValueMap::const_iterator& last) const;
    // The first entry, in name order, whose name begins with `text` (case-sensitive).
    bool firstWithPrefix(const std::string& text, std::string& name, std::string& value) const;
    // Whether a name equal to `name` byte for byte exists.
    bool hasName(const std::string& name) const;

    // component "." name, then "." suffix when the suffix is not empty; an empty component is
    // "vaud".
    static std::string buildKey(const std::string& component, const std::string& name,
                                const std::string& suffix = "");

    // "#" title and a line end when the title is not empty, then "name=value" and a line end
    // for each property in name order.
    void dump(std::ostream& out, const std::string& title) const;

    Mutex& mutex() const { return *m_mutex; }
    bool isLoaded() const;
    // True after setValueList changed a list since the last load or successful save.
    bool isDirty() const;
    // Writes the store back into the configuration file at `path` (CONFIG_PATH when null),
    // keeping its layout (saveProperty in cproperties.h); returns that function's code, a
    // failure also logged. Without a store, logs at DEBUG and returns -22.
    int saveProperty(const char* path);
    // Non-zero: loads no longer make logging re-read its settings.
    void setSkipLoggerReconfigure(int skip);

  private:
    void reportError(const char* function, const std::string& subject, int code) const;
    void freeStore();

    ValueMap m_values;
    // Held through a pointer: the property source's destructor promises not to throw.
    const std::unique_ptr<Mutex> m_mutex;
    ValueMap m_interValues;
    std::map<std::string, std::string, NoCaseLess> m_listDefaults;
    std::map<std::string, StringListPtr, NoCaseLess> m_listCache;
    bool m_loaded = false;
    bool m_dirty = false;
    const bool m_logPropertiesAtDebug;
    Props* m_store = nullptr;
    int m_skipLoggerReconfigure = 0;
    const std::string m_empty;
    std::string m_path;
    Logger m_log;
};

// Writes the process-wide object's dump to "/dev/tty" under the title "Properties dump";
// false when the terminal cannot be opened.
bool dumpProperties();

}  // namespace vfw

#endif
