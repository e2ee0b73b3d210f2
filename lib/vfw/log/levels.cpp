// The level and facility tables.
#include <cstring>

#include "vfw/log.h"
#include "vfw/string_util.h"

namespace vfw {

namespace {

struct LevelInfo {
    const char* name;
    int syslogPriority;
};

// FATAL goes out as emergency (0), not as critical.
const LevelInfo kLevels[] = {
    {"TRACE", 7}, {"DEBUG", 7}, {"DIAG", 7},  {"INFO", 6},
    {"WARN", 4},  {"ERROR", 3}, {"FATAL", 0}, {"DISABLED", 0},
};
const int kLevelCount = sizeof kLevels / sizeof kLevels[0];

struct FacilityInfo {
    const char* name;
    int code;
};

const FacilityInfo kFacilities[] = {
    {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},
    {"kern", 0},     {"lpr", 48},      {"mail", 16},    {"news", 56},    {"syslog", 40},
    {"user", 8},     {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144},
    {"local3", 152}, {"local4", 160},  {"local5", 168}, {"local6", 176}, {"local7", 184},
};

}  // namespace

int levelFromName(const std::string& name) {
    if (name.empty()) {
        return LEVEL_INFO;
    }
    std::string upper = toUpper(name);
    for (int level = 0; level < kLevelCount; ++level) {
        if (upper == kLevels[level].name) {
            return level;
        }
    }
    return -1;
}

const char* levelName(int level) {
    return level >= 0 && level < kLevelCount ? kLevels[level].name : "";
}

int levelSyslogPriority(int level) {
    return level >= 0 && level < kLevelCount ? kLevels[level].syslogPriority : 0;
}

int facilityFromName(const std::string& name) {
    std::string lower = toLower(name);
    for (const FacilityInfo& facility : kFacilities) {
        if (lower == facility.name) {
            return facility.code;
        }
    }
    return -1;
}

}  // namespace vfw
