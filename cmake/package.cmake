# Debian packages made by CPack (cpack -G DEB in the build directory, or its package target):
# vantrelaud-tools, the commands of sbin with their man pages, and libvfw-dev, the static
# library with its headers, CMake package and pkg-config file. Installed under /usr whatever
# the build's own install prefix.
set(VFW_PACKAGE_MAINTAINER "vantrel audit agent maintainers <vfw@vantrel.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "${VFW_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps gives the shared libraries' packages (libc6, libstdc++6, libuuid1...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vantrelaud-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "administrator's commands of the vantrel audit agent
Read-only tools for the agent's spool of disk-backed queue files under
/var/vantrelaud. vaudumpat shows, byte for byte, what the daemon left there:
every queue file's accounting, master block and record chain, after a clean
stop, a crash or disk corruption. vaudbq checks, dumps, counts and salvages
the spool or a single queue file.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvfw-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What the installed headers include, and what a program linking the static library needs.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev, uuid-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "support framework of the vantrel audit agent (development files)
The static library vfw with its headers: crash-safe disk queues, the agent's
configuration store, logging, threads and run queues, path and file utilities,
and a printf engine that replaces the C library's for the whole process.
Programs find it with find_package(vfw CONFIG) (target vfw::vfw) or with
pkg-config (vfw).")

include(CPack)
