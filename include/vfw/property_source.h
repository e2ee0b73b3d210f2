// The settings that the runtime and logging layers read, reached through one small
// interface so that those layers do not depend on the configuration layer above them.
//
// The configuration layer implements PropertySource and installs it; until something is
// installed every lookup finds nothing and callers use their defaults. Names compare
// without regard to case. Sources are not owned: an installed source must outlive its
// installation. Lookups may come from any thread.
#ifndef VFW_PROPERTY_SOURCE_H
#define VFW_PROPERTY_SOURCE_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vfw {

class PropertySource {
  public:
    virtual ~PropertySource();
    // True, with the value, when `name` is set.
    virtual bool lookup(const std::string& name, std::string& value) const = 0;
    // Copies of every (name, value) whose name begins with `prefix` without regard to case,
    // ordered by name as strcasecmp orders them. Logging reads families of keys ("log.",
    // "logger.facility.") this way.
    virtual std::vector<std::pair<std::string, std::string>> listWithPrefix(
        const std::string& prefix) const = 0;
};

// Installs `source` for the whole process (nullptr: nothing is set) and returns the one it
// replaces.
PropertySource* setPropertySource(PropertySource* source);

// The value of `name` in the installed source, or `defaultValue` when it is not set.
std::string getProperty(const std::string& name, const std::string& defaultValue = "");
// The value read as a decimal integer (strtol rules); `defaultValue` when it is not set.
long getIntProperty(const std::string& name, long defaultValue);
// True only for "true", "yes" or "1" in any case; `defaultValue` when it is not set.
bool getBoolProperty(const std::string& name, bool defaultValue);

// An in-memory source, for programs without a configuration file and for tests.
class MapPropertySource : public PropertySource {
  public:
    void set(const std::string& name, const std::string& value);
    void erase(const std::string& name);
    bool lookup(const std::string& name, std::string& value) const override;
    std::vector<std::pair<std::string, std::string>> listWithPrefix(
        const std::string& prefix) const override;

  private:
    struct NoCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<std::string, std::string, NoCase> m_values;
};

}  // namespace vfw

#endif
