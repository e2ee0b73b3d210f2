#include "vfw/osport.h"

#include <sys/fsuid.h>
#include <unistd.h>

#include "vfw/error_util.h"

namespace vfw {

void SetFsIdsToEffective() {
    const gid_t group = ::getegid();
    const uid_t user = ::geteuid();
    ::setfsgid(group);
    ::setfsuid(user);
    // An id no thread can have changes nothing and returns the one in force.
    const gid_t fsGroup = static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1)));
    const uid_t fsUser = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
    if (fsGroup != group || fsUser != user) {
        VFW_THROW(SystemException, -1,
                  "File-system ids %u/%u did not follow the effective ids %u/%u",
                  static_cast<unsigned>(fsUser), static_cast<unsigned>(fsGroup),
                  static_cast<unsigned>(user), static_cast<unsigned>(group));
    }
}

}  // namespace vfw
