// Block images: field access, checksum and positioned block I/O on a stream.
#include "dbq_source.h"

#include <cstring>
#include <ctime>
#include <iostream>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dump_output.h"
#include "vfw/dbq_format.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/string_util.h"

namespace vfw {

using namespace dbqformat;

uint32_t dbqformat::checksum(const unsigned char* area, int32_t length) {
    uint32_t sum = 0;
    int32_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: psadbw adds each half of a vector into a 64-bit lane.
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = zero;
    for (; length - i >= 16; i += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(area + i));
        lanes = _mm_add_epi64(lanes, _mm_sad_epu8(bytes, zero));
    }
    sum += uint32_t(_mm_cvtsi128_si64(lanes)) +
           uint32_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
#endif
    // Eight bytes at a time: the even and the odd bytes of a word are added into four 16-bit
    // lanes, which are folded into the sum before they can overflow (128 words add at most
    // 128 x 510 = 65280 to a lane).
    const uint64_t evenBytes = 0x00FF00FF00FF00FFull;
    while (length - i >= 8) {
        int32_t words = (length - i) / 8 < 128 ? (length - i) / 8 : 128;
        uint64_t lanes = 0;
        for (int32_t w = 0; w < words; ++w, i += 8) {
            uint64_t word;
            std::memcpy(&word, area + i, 8);
            lanes += (word & evenBytes) + ((word >> 8) & evenBytes);
        }
        lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
        sum += uint32_t(lanes) + uint32_t(lanes >> 32);
    }
    for (; i < length; ++i) {
        sum += area[i];
    }
    return sum;
}

Block::Block(int32_t blockSize, const Layout& layout)
    : m_layout(layout),
      m_blockSize(blockSize),
      m_buffer(new unsigned char[size_t(blockSize)]()),
      m_payloadSize(0) {
    m_buffer[OFF_TYPE] = layout.basicType;
    refreshPayloadSize();
}

Block::~Block() {
    delete[] m_buffer;
}

unsigned char* Block::data() {
    return m_buffer + headerSize();
}

bool Block::setData(const void* source, uint32_t length) {
    if (source == nullptr || int64_t(length) > int64_t(m_blockSize) - headerSize()) {
        return false;
    }
    std::memcpy(data(), source, length);
    return true;
}

int32_t Block::headerSize() const {
    return isExtended() ? m_layout.extendedHeader : m_layout.basicHeader;
}

void Block::setTime() {
    putExtended(m_layout.timeOffset, uint32_t(::time(nullptr)));
}

void Block::setType(uint8_t type) {
    m_buffer[OFF_TYPE] = type;
    refreshPayloadSize();
}

uint32_t Block::payloadChecksum() const {
    return checksum(m_buffer + headerSize(), m_blockSize - headerSize());
}

void Block::write(std::iostream& stream) {
    int32_t id = getBlockId();
    stream.seekp(std::streamoff(id) * m_blockSize, std::ios_base::beg);
    bool seekFailed = stream.fail();
    if (!seekFailed) {
        stream.write(reinterpret_cast<const char*>(m_buffer), m_blockSize);
        if (stream.good()) {
            return;
        }
    }
    dbqformat::failBlockWrite(id, stream, seekFailed);
}

void dbqformat::failBlockWrite(int32_t id, std::iostream& stream, bool seekFailed) {
    bool eof = stream.eof();
    bool bad = stream.bad();
    bool fail = stream.fail();
    long long position = stream.tellg();
    Logger log = getLogger("vfw.dbq");
    if (seekFailed) {
        VFW_LOG(log, LEVEL_WARN,
                "Seekp for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld", id,
                boolToString(eof).c_str(), boolToString(bad).c_str(), boolToString(fail).c_str(),
                position);
        VFW_THROW(IOException, -1, "Block %d write failed (fs.seekp)", id);
    }
    VFW_LOG(log, LEVEL_WARN,
            "Write for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld", id,
            boolToString(eof).c_str(), boolToString(bad).c_str(), boolToString(fail).c_str(),
            position);
    VFW_THROW(IOException, -1, "Block %d write failed (fs.write)", id);
}

Block::ReadStatus Block::tryRead(int64_t id, std::istream& stream) {
    stream.seekg(std::streamoff(id) * m_blockSize, std::ios_base::beg);
    if (stream.fail()) {
        return ReadStatus::SEEK_FAILED;
    }
    stream.read(reinterpret_cast<char*>(m_buffer), m_blockSize);
    if (stream.good()) {
        return ReadStatus::READ;
    }
    return stream.eof() ? ReadStatus::END_OF_FILE : ReadStatus::READ_FAILED;
}

void Block::read(int32_t id, std::istream& stream) {
    const ReadStatus status = tryRead(id, stream);
    if (status == ReadStatus::READ) {
        return;
    }
    const bool seekFailed = status == ReadStatus::SEEK_FAILED;
    bool eof = stream.eof();
    bool bad = stream.bad();
    bool fail = stream.fail();
    long long position = stream.tellg();
    const char* what = seekFailed ? "Seekg" : "Read";
    DumpOutput::handOverCurrent();  // the dump's text so far goes before the report
    std::cout << what << " for block " << id << " failed" << std::endl
              << "EOF: " << eof << std::endl
              << "Bad: " << bad << std::endl
              << "Fail: " << fail << std::endl
              << "File pos: " << position << std::endl;
    Logger log = getLogger("vfw.dbq");
    VFW_LOG(log, LEVEL_WARN, "%s for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld",
            what, id, boolToString(eof).c_str(), boolToString(bad).c_str(),
            boolToString(fail).c_str(), position);
    if (seekFailed) {
        VFW_THROW(IOException, -1, "Block %d read failed (fs.seekg)", id);
    }
    VFW_THROW(IOException, -1, "Block %d read failed (fs.read)", id);
}

namespace {

constexpr Block::Layout kMasterLayout = {
    TYPE_MASTER,         TYPE_MASTER_X,      HEADER_MASTER,   HEADER_MASTER_X, OFF_MASTER_MAGIC,
    OFF_MASTER_CHECKSUM, OFF_MASTER_VERSION, OFF_MASTER_TIME, OFF_MASTER_AGE,  MASTER_MAGIC};
constexpr Block::Layout kDataLayout = {
    TYPE_DATA,         TYPE_DATA_X,      HEADER_DATA,   HEADER_DATA_X, OFF_DATA_MAGIC,
    OFF_DATA_CHECKSUM, OFF_DATA_VERSION, OFF_DATA_TIME, OFF_DATA_AGE,  DATA_MAGIC};

}  // namespace

MasterBlock::MasterBlock(int32_t blockSize) : Block(blockSize, kMasterLayout) {}

MasterBlock::~MasterBlock() = default;

DataBlock::DataBlock(int32_t blockSize) : Block(blockSize, kDataLayout) {}

DataBlock::~DataBlock() = default;

void DataBlock::setFlag(uint8_t bit, bool on) {
    unsigned char& flags = buffer()[OFF_FLAGS];
    flags = on ? uint8_t(flags | bit) : uint8_t(flags & ~bit);
}

}  // namespace vfw
