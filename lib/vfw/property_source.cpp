#include "vfw/property_source.h"

#include <strings.h>

#include <atomic>
#include <cstdlib>

namespace vfw {

namespace {
std::atomic<PropertySource*> g_source{nullptr};
}

PropertySource::~PropertySource() = default;

PropertySource* setPropertySource(PropertySource* source) {
    return g_source.exchange(source);
}

std::string getProperty(const std::string& name, const std::string& defaultValue) {
    std::string value;
    PropertySource* source = g_source.load();
    if (source != nullptr && source->lookup(name, value)) {
        return value;
    }
    return defaultValue;
}

long getIntProperty(const std::string& name, long defaultValue) {
    std::string value;
    PropertySource* source = g_source.load();
    if (source == nullptr || !source->lookup(name, value)) {
        return defaultValue;
    }
    return std::strtol(value.c_str(), nullptr, 10);
}

bool getBoolProperty(const std::string& name, bool defaultValue) {
    std::string value;
    PropertySource* source = g_source.load();
    if (source == nullptr || !source->lookup(name, value)) {
        return defaultValue;
    }
    return strcasecmp(value.c_str(), "true") == 0 || strcasecmp(value.c_str(), "yes") == 0 ||
           value == "1";
}

bool MapPropertySource::NoCase::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

void MapPropertySource::set(const std::string& name, const std::string& value) {
    m_values[name] = value;
}

void MapPropertySource::erase(const std::string& name) {
    m_values.erase(name);
}

bool MapPropertySource::lookup(const std::string& name, std::string& value) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) {
        return false;
    }
    value = it->second;
    return true;
}

std::vector<std::pair<std::string, std::string>> MapPropertySource::listWithPrefix(
    const std::string& prefix) const {
    std::vector<std::pair<std::string, std::string>> found;
    for (auto it = m_values.lower_bound(prefix);
         it != m_values.end() && strncasecmp(it->first.c_str(), prefix.c_str(), prefix.size()) == 0;
         ++it) {
        found.emplace_back(it->first, it->second);
    }
    return found;
}

}  // namespace vfw
