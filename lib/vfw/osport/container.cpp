#include "vfw/osport.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vfw {

bool IsInContainer() {
    FILE* file = std::fopen("/proc/self/cgroup", "re");
    if (file == nullptr) {
        return false;
    }
    char* line = nullptr;
    size_t capacity = 0;
    bool found = false;
    for (ssize_t length; !found && (length = ::getline(&line, &capacity, file)) >= 0;) {
        const std::string_view text(line, static_cast<size_t>(length));
        found = text.find("/docker/") != std::string_view::npos ||
                text.find("/system.slice/docker-") != std::string_view::npos;
    }
    std::free(line);
    std::fclose(file);
    return found;
}

}  // namespace vfw
