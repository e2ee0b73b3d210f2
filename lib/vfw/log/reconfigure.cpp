// The loggers' settings from the configuration: levels, facilities, location flags and the
// ring buffer's levels, recomputed after every load of the configuration.
//
// The keys are copied out of the property source before any logging lock is taken: the
// configuration layer holds its own lock while it logs, so reading it under the registry or
// output lock could deadlock. The copy is then applied under the registry lock and the
// output lock, in that order; warnings logged meanwhile take the recursive output lock again.
#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "log_internal.h"
#include "vfw/log.h"
#include "vfw/property_source.h"
#include "vfw/string_util.h"

namespace vfw {

namespace {

const char kRootLevelKey[] = "log";
const char kLevelPrefix[] = "log.";
const char kFacilityPrefix[] = "logger.facility.";
const char kShowMoreKey[] = "logger.showmore";
const char kShowMorePrefix[] = "logger.showmore.";
const char kMemoryLevelKey[] = "logger.memory.log";
const char kMemoryLevelPrefix[] = "logger.memory.log.";
const char kMemoryEnabledKey[] = "logger.memory.enabled";
const char kMemorySizeKey[] = "logger.memory.bufsize";
const char kOwnLogger[] = "com.vantrel.logger";
const char kClientLogger[] = "client";

Logger ownLogger() {
    return getLogger(kOwnLogger);
}

void copyKey(const PropertySource& from, const std::string& name, MapPropertySource& to) {
    std::string value;
    if (from.lookup(name, value)) {
        to.set(name, value);
    }
}

void copyFamily(const PropertySource& from, const std::string& prefix, MapPropertySource& to) {
    for (const auto& entry : from.listWithPrefix(prefix)) {
        to.set(entry.first, entry.second);
    }
}

// Holds the registry lock and then the output lock for its scope.
class ReconfigureLocks {
  public:
    ReconfigureLocks() : m_registry(registryLock()), m_output(outputLock()) {}

  private:
    MutexLock m_registry;
    MutexLock m_output;
};

// Decimal value as a signed 32-bit number (strtol rules: text that is no number gives 0).
int32_t decimal(const std::string& text) {
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

// For each "<prefix><logger name>" key of `settings`, in the source's order: a key that names
// no logger is warned about with `noName`; otherwise parse(value) gives the number, and
// apply(logger name, logger, number) runs when that logger exists. With a `badValue` warning,
// a number of -1 means a refused value, which is warned about instead of applied.
template <typename Parse, typename Apply>
void forEachLoggerKey(const PropertySource& settings, const std::string& prefix, const char* noName,
                      const char* badValue, Parse parse, Apply apply) {
    for (const auto& entry : settings.listWithPrefix(prefix)) {
        const std::string name = entry.first.substr(prefix.size());
        if (name.empty()) {
            VFW_LOG(ownLogger(), LEVEL_WARN, noName, entry.first.c_str());
            continue;
        }
        const int number = parse(entry.second);
        if (number == -1 && badValue != nullptr) {
            VFW_LOG(ownLogger(), LEVEL_WARN, badValue, entry.first.c_str(), entry.second.c_str());
        } else if (Logger logger = getLogger(name)) {
            apply(name, logger, number);
        }
    }
}

// The steps below read only the copy and run with both locks held.

// The root's facility from "logger.facility.<name>", when that is set.
void applyRootFacility(const PropertySource& settings, const std::string& name) {
    int facility = getFacility(settings, kFacilityPrefix + name);
    Logger root = getLogger("");
    if (facility != -1 && root) {
        root->setFacility(facility);
    }
}

// Each logger's facility from "logger.facility.<logger>" (also "*" and the program name,
// which are loggers' names too; harmless).
void applyLoggerFacilities(const PropertySource& settings) {
    forEachLoggerKey(
        settings, kFacilityPrefix, "Illegal facility name: '%s'",
        "Illegal log facility. Property: '%s', value: '%s'", facilityFromName,
        [](const std::string&, const Logger& logger, int code) { logger->setFacility(code); });
}

void applyShowMore(const PropertySource& settings) {
    Logger root = getLogger("");
    if (!root) {
        return;
    }
    std::string value;
    int32_t flags = 0;
    if (settings.lookup(kShowMoreKey, value) && !value.empty()) {
        flags = decimal(value);
        if (flags == -1) {
            flags = 0;
        }
    }
    root->setShowMore(flags);
    forEachLoggerKey(
        settings, kShowMorePrefix, "Illegal log name: '%s'", nullptr,
        [](const std::string& value) { return value.empty() ? -1 : decimal(value); },
        [](const std::string&, const Logger& logger, int flags) { logger->setShowMore(flags); });
}

// Sets the levels from "log" and "log.<logger>"; returns the names given a level.
std::set<std::string> applyLevels(const PropertySource& settings, const Logger& root) {
    std::string value = "INFO";
    settings.lookup(kRootLevelKey, value);
    int level = levelFromName(value);
    if (level == -1) {
        VFW_LOG(ownLogger(), LEVEL_WARN, "Illegal value for property 'log': '%s'. Using 'INFO'.",
                value.c_str());
        level = LEVEL_INFO;
    }
    root->setLevel(level);

    std::set<std::string> named;
    forEachLoggerKey(settings, kLevelPrefix, "Illegal log name: '%s'",
                     "Illegal log level. Property: '%s', value: '%s'", levelFromName,
                     [&named](const std::string& name, const Logger& logger, int keyLevel) {
                         logger->setLevel(keyLevel);
                         named.insert(name);
                     });
    return named;
}

}  // namespace

int getFacility(const PropertySource& properties, const std::string& key) {
    std::string value;
    if (!properties.lookup(key, value) || value.empty()) {
        return -1;
    }
    int code = facilityFromName(value);
    if (code == -1) {
        VFW_LOG(ownLogger(), LEVEL_WARN, "Illegal value facility name: '%s' for '%s'. Using '%s'.",
                value.c_str(), key.c_str(), "auth");
        code = LOG_AUTH;
    }
    return code;
}

void reconfigureFacilities(const PropertySource& properties, const std::string& name) {
    MapPropertySource settings;
    copyFamily(properties, kFacilityPrefix, settings);
    ReconfigureLocks locks;
    applyRootFacility(settings, name);
    applyLoggerFacilities(settings);
}

// The ring buffer's levels, and its ring when "logger.memory.enabled" asks for it; only for
// an activated buffer.
void applyMemoryBuffer(const PropertySource& settings, const Logger& root) {
    boost::shared_ptr<CircularBuffer> buffer = memoryBuffer();
    if (!buffer || !buffer->isActivated()) {
        return;
    }
    std::string value = "INFO";
    settings.lookup(kMemoryLevelKey, value);
    int level = levelFromName(value);
    if (level == -1) {
        VFW_LOG(ownLogger(), LEVEL_WARN, "Circular buffer log level cannot be NONE. Using 'INFO'.");
        level = LEVEL_INFO;
    }
    root->setMemoryLevel(level);
    forEachLoggerKey(
        settings, kMemoryLevelPrefix, "Illegal log.memory name: '%s'", nullptr, levelFromName,
        [](const std::string&, const Logger& logger, int level) { logger->setMemoryLevel(level); });
    std::string enabled, size;
    settings.lookup(kMemoryEnabledKey, enabled);
    enabled = toLower(enabled);
    if (enabled == "true" || enabled == "yes" || enabled == "1") {
        settings.lookup(kMemorySizeKey, size);
        if (buffer->init(ownLogger(), size)) {
            VFW_LOG(ownLogger(), LEVEL_INFO, "circular buffer has been enabled\n");
        } else {
            VFW_LOG(ownLogger(), LEVEL_WARN, "circular buffer is not enabled\n");
        }
    }
}

void reconfigureShowMore(const PropertySource& properties) {
    MapPropertySource settings;
    copyKey(properties, kShowMoreKey, settings);
    copyFamily(properties, kShowMorePrefix, settings);
    ReconfigureLocks locks;
    applyShowMore(settings);
}

void ReconfigureLevels(const PropertySource& properties) {
    MapPropertySource settings;
    copyKey(properties, kRootLevelKey, settings);
    copyFamily(properties, kLevelPrefix, settings);
    copyFamily(properties, kFacilityPrefix, settings);
    copyKey(properties, kShowMoreKey, settings);
    copyFamily(properties, kShowMorePrefix, settings);
    for (const char* key : {kMemoryLevelKey, kMemoryEnabledKey, kMemorySizeKey}) {
        copyKey(properties, key, settings);
    }
    copyFamily(properties, kMemoryLevelPrefix, settings);
    // The destination reads its own properties, so it too is done before the locks.
    configureDestination(true);

    ReconfigureLocks locks;
    Logger root = getLogger("");
    if (!root) {
        return;  // logging is shut down
    }
    // Levels go from the old value to the new one directly, so that a record logged on another
    // thread meanwhile is judged by one configuration or the other, never dropped by a level
    // that neither sets.
    for (const Logger& logger : registeredLoggers()) {
        logger->setFacility(-1);
        logger->setShowMore(-1);
    }
    Logger own = ownLogger();
    own->setLevel(LEVEL_WARN);
    own->setMemoryLevel(LEVEL_WARN);
    own->setFacility(LOG_AUTH);

    std::set<std::string> named = applyLevels(settings, root);
    named.insert(kOwnLogger);
    if (Logger client = getLogger(kClientLogger)) {
        client->setLevel(LEVEL_TRACE);
        named.insert(kClientLogger);
    }

    // The root's facility for every program, then this program's; the loggers' own keys are
    // applied once, so that each bad one is reported once per load.
    applyRootFacility(settings, "*");
    applyRootFacility(settings, programName());
    applyLoggerFacilities(settings);
    root->setFacility(root->getFacility());  // "auth" unless it has one, also from before
    applyShowMore(settings);
    applyMemoryBuffer(settings, root);

    // Log calls on other threads read levels without a lock and keep what they found in the
    // logger; a value found while the tree was being rebuilt is dropped here again. Ancestors
    // come first, so a logger reset here never inherits a value its parent drops later.
    for (const Logger& logger : registeredLoggers()) {
        if (named.count(logger->getName()) == 0) {
            logger->setLevel(-1);
        }
    }
}

}  // namespace vfw
