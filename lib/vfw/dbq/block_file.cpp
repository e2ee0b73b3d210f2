// The stream buffer and stream over which queue files are read and written: pread with a
// read-ahead window for files opened read-only, a shared memory mapping for files open for
// writing (pread/pwrite when it cannot be had).
#include "dbq_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ios>

#include "../dbq_seam.h"
#include "vfw/dbq_format.h"

namespace vfw {

namespace {

std::atomic<seam::BlockWriteHook> g_writeHook{nullptr};

// Thrown inside the buffer for a hard read error; the stream turns it into badbit.
struct ReadError {};

// Mappings reserve address space ahead of the file so that it can grow without remapping
// every time: at least this much, and twice what the file needs when it outgrows that.
const size_t kMinMapLength = size_t(64) << 20;

size_t mapLengthFor(int64_t fileSize) {
    size_t length = kMinMapLength;
    while (int64_t(length) < fileSize) {
        length *= 2;
    }
    return length;
}

// The first read-ahead window; it doubles with every sequential read that misses, up to
// READ_AHEAD_MAX.
const size_t kReadAheadMin = size_t(16) << 10;

}  // namespace

void seam::setBlockWriteHook(BlockWriteHook hook) {
    g_writeHook.store(hook);
}

BlockFileBuf::BlockFileBuf()
    : m_fd(-1),
      m_position(0),
      m_map(nullptr),
      m_mapLength(0),
      m_size(0),
      m_readOnly(false),
      m_aheadStart(0),
      m_aheadLength(0),
      m_aheadWant(0),
      m_lastReadEnd(-1) {}

BlockFileBuf::~BlockFileBuf() {
    close();
}

bool BlockFileBuf::open(const char* path, int flags, mode_t mode, bool truncate) {
    if (m_fd >= 0) {
        errno = EBUSY;
        return false;
    }
    // Anything but a regular file is refused before it is opened, so that opening a device
    // has no side effect; the check after the open is the one that counts (the path may have
    // changed in between). O_NONBLOCK keeps a FIFO or a device from blocking the open; on the
    // regular files that are accepted it has no effect.
    struct stat st;
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (truncate && ::ftruncate(fd, 0) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return false;
    }
    m_fd = fd;
    m_position = 0;
    m_readOnly = (flags & O_ACCMODE) == O_RDONLY;
    m_aheadLength = 0;
    m_aheadWant = 0;
    m_lastReadEnd = -1;
    if ((flags & O_ACCMODE) == O_RDWR) {
        map(truncate ? 0 : st.st_size);
    }
    return true;
}

void BlockFileBuf::map(int64_t fileSize) {
    size_t length = mapLengthFor(fileSize);
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (address != MAP_FAILED) {
        m_map = static_cast<unsigned char*>(address);
        m_mapLength = length;
        m_size = off_t(fileSize);
    }
}

// Makes the mapping reach `fileSize`; without a mapping afterwards, pread/pwrite serve.
void BlockFileBuf::cover(int64_t fileSize) {
    m_size = off_t(fileSize);
    if (int64_t(m_mapLength) >= fileSize) {
        return;
    }
    size_t length = mapLengthFor(fileSize);
    void* address = ::mremap(m_map, m_mapLength, length, MREMAP_MAYMOVE);
    if (address == MAP_FAILED) {
        unmap();
        return;
    }
    m_map = static_cast<unsigned char*>(address);
    m_mapLength = length;
}

// The bytes just added at the end of a mapped file are written again through the mapping
// when the update that grew the file commits: their pages are entered into the mapping now,
// in one call, rather than one page fault at a time. Only a hint; a kernel without
// MADV_POPULATE_WRITE refuses it, and the faults then do the same work.
void BlockFileBuf::prefault(off_t from, off_t to) {
    if (m_map == nullptr || to > off_t(m_mapLength)) {
        return;
    }
    const off_t page = off_t(::sysconf(_SC_PAGESIZE));
    const off_t start = from / page * page;
    ::madvise(m_map + start, size_t(to - start), MADV_POPULATE_WRITE);
}

void BlockFileBuf::unmap() {
    if (m_map != nullptr) {
        ::munmap(m_map, m_mapLength);
        m_map = nullptr;
        m_mapLength = 0;
    }
}

bool BlockFileBuf::close() {
    if (m_fd < 0) {
        return false;
    }
    unmap();
    int rc = ::close(m_fd);
    m_fd = -1;
    m_position = 0;
    m_aheadLength = 0;
    return rc == 0;
}

int64_t BlockFileBuf::size() {
    if (m_map != nullptr) {
        return m_size;
    }
    struct stat st;
    if (m_fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::fstat(m_fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

bool BlockFileBuf::truncate(int64_t length) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    if (::ftruncate(m_fd, off_t(length)) != 0) {
        return false;
    }
    if (m_map != nullptr) {
        cover(length);
    }
    return true;
}

BlockFileBuf::pos_type BlockFileBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                             std::ios_base::openmode) {
    const pos_type failed = pos_type(off_type(-1));
    if (m_fd < 0) {
        return failed;
    }
    off_t base = 0;
    if (dir == std::ios_base::cur) {
        base = m_position;
    } else if (dir == std::ios_base::end) {
        int64_t end = size();
        if (end < 0) {
            return failed;
        }
        base = off_t(end);
    }
    off_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) {
        return failed;
    }
    m_position = target;
    return pos_type(target);
}

BlockFileBuf::pos_type BlockFileBuf::seekpos(pos_type position, std::ios_base::openmode which) {
    return seekoff(off_type(position), std::ios_base::beg, which);
}

std::streamsize BlockFileBuf::xsgetn(char* s, std::streamsize n) {
    struct stat st;
    if (m_map != nullptr && m_position + n > m_size && ::fstat(m_fd, &st) == 0) {
        cover(st.st_size);  // a read past the end asks the file itself once
    }
    if (m_map != nullptr) {
        std::streamsize available = m_position < m_size ? m_size - m_position : 0;
        std::streamsize done = n < available ? n : available;
        std::memcpy(s, m_map + m_position, size_t(done));
        m_position += done;
        return done;
    }
    if (m_readOnly) {
        return readAhead(s, n);
    }
    size_t done = preadFully(s, size_t(n), m_position);
    m_position += off_t(done);
    return std::streamsize(done);
}

// Up to `n` bytes at `at`; fewer only at the end of the file.
size_t BlockFileBuf::preadFully(char* s, size_t n, off_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(m_fd, s + done, n - done, at + off_t(done));
        if (got > 0) {
            done += size_t(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            throw ReadError();
        }
    }
    return done;
}

// A read served whole from the window costs a copy. A miss that continues the previous read
// refills the window from the stream's position, one larger pread than the last; any other
// miss (and a request the window cannot hold) is read as it stands, the window left alone.
// Bytes past the window's end, also at the end of the file, are always asked of the file.
std::streamsize BlockFileBuf::readAhead(char* s, std::streamsize n) {
    const size_t want = size_t(n);
    const off_t offset = m_position - m_aheadStart;
    if (m_aheadLength >= want && offset >= 0 && size_t(offset) <= m_aheadLength - want) {
        std::memcpy(s, m_ahead.get() + offset, want);
        m_position += off_t(n);
        m_lastReadEnd = m_position;
        return n;
    }
    if (m_position != m_lastReadEnd) {
        m_aheadWant = 0;
    } else {
        size_t grown = m_aheadWant < kReadAheadMin ? kReadAheadMin : 2 * m_aheadWant;
        m_aheadWant = grown < READ_AHEAD_MAX ? grown : READ_AHEAD_MAX;
    }
    size_t done = 0;
    if (m_aheadWant <= want) {
        done = preadFully(s, want, m_position);
    } else {
        if (!m_ahead) {
            m_ahead.reset(new char[READ_AHEAD_MAX]);
        }
        m_aheadLength = 0;  // empty until the pread has succeeded
        m_aheadStart = m_position;
        m_aheadLength = preadFully(m_ahead.get(), m_aheadWant, m_position);
        done = m_aheadLength < want ? m_aheadLength : want;
        std::memcpy(s, m_ahead.get(), done);
    }
    m_position += off_t(done);
    m_lastReadEnd = m_position;
    return std::streamsize(done);
}

std::streamsize BlockFileBuf::xsputn(const char* s, std::streamsize n) {
    seam::BlockWriteHook hook = g_writeHook.load(std::memory_order_relaxed);
    if (hook != nullptr && !hook(m_fd, m_position, size_t(n))) {
        errno = EIO;
        return 0;
    }
    if (m_map != nullptr && m_position + n <= m_size) {
        std::memcpy(m_map + m_position, s, size_t(n));
        m_position += n;
        return n;
    }
    std::streamsize done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(m_fd, s + done, size_t(n - done), m_position);
        if (put > 0) {
            done += put;
            m_position += put;
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (m_map != nullptr && m_position > m_size) {
        const off_t grownFrom = m_size;
        cover(m_position);
        prefault(grownFrom, m_position);
    }
    return done;
}

BlockFileBuf::int_type BlockFileBuf::underflow() {
    char c;
    std::streamsize got;
    off_t position = m_position;
    got = xsgetn(&c, 1);
    m_position = position;
    return got == 0 ? traits_type::eof() : traits_type::to_int_type(c);
}

BlockFileBuf::int_type BlockFileBuf::uflow() {
    int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        ++m_position;
    }
    return c;
}

BlockFileBuf::int_type BlockFileBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

std::streamsize BlockFileBuf::showmanyc() {
    int64_t end = size();
    return end > m_position ? std::streamsize(end - m_position) : -1;
}

BlockFileStream::BlockFileStream() : std::iostream(nullptr) {
    rdbuf(&m_buf);
}

BlockFileStream::~BlockFileStream() = default;

void BlockFileStream::open(const char* path, int flags, mode_t mode, bool truncate) {
    if (m_buf.open(path, flags, mode, truncate)) {
        clear();
    } else {
        setstate(std::ios_base::failbit);
    }
}

void BlockFileStream::close() {
    if (!m_buf.close()) {
        setstate(std::ios_base::failbit);
    }
}

}  // namespace vfw
