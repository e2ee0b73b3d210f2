// A file descriptor owned by a scope: closed when the scope ends unless closed before.
#ifndef VFW_DESCRIPTOR_H
#define VFW_DESCRIPTOR_H

#include <unistd.h>

namespace vfw {

class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    // Closes now and returns close's result, so that a late write error is seen; 0 when the
    // descriptor is closed already (or was never open).
    int close() {
        if (m_fd < 0) {
            return 0;
        }
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

  private:
    int m_fd;
};

}  // namespace vfw

#endif
