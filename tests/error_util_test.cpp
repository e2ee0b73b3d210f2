#include "vfw/error_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Record {
    std::string className, message, file;
    int line, rc;
};
std::vector<Record> g_records;

void recordInto(const char* className, const char* message, const char* file, int line, int rc) {
    g_records.push_back({className, message, file, line, rc});
}

class ExceptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_records.clear();
        vfw::setExceptionRecorder(recordInto);
    }
    void TearDown() override { vfw::setExceptionRecorder(nullptr); }
};

TEST_F(ExceptionTest, MessageIsCutAt511Characters) {
    std::string longText(600, 'x');
    try {
        VFW_THROW(vfw::BadDataException, 0, "%s", longText.c_str());
        FAIL();
    } catch (const VFWException& e) {
        EXPECT_EQ(std::string(e.what()), std::string(511, 'x'));
    }
}

TEST_F(ExceptionTest, FinishedMessageIsNotReadAsAFormat) {
    try {
        VFW_THROW_MSG(vfw::IOException, -1, "100%s done %n");
        FAIL();
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "100%s done %n");
        EXPECT_EQ(e.getRc(), -1);
    }
}

TEST_F(ExceptionTest, OsFormDefaultsToOsCallFailed) {
    try {
        VFW_THROW_OS(vfw::SystemException, 22);
        FAIL();
    } catch (const vfw::SystemException& e) {
        EXPECT_EQ(std::string(e.what()), std::string("OS call failed: ") + std::strerror(22));
        EXPECT_EQ(e.getRc(), 22);
    }
}

TEST_F(ExceptionTest, OsFormAppliesCallerFormatThenErrorText) {
    try {
        VFW_THROW_OS(vfw::IOException, ENOENT, "Move %s to %s failed", "/a/b", "/c/%d");
        FAIL();
    } catch (const vfw::IOException& e) {
        EXPECT_EQ(std::string(e.what()),
                  std::string("Move /a/b to /c/%d failed: ") + std::strerror(ENOENT));
        EXPECT_EQ(e.getRc(), ENOENT);
    }
}

TEST_F(ExceptionTest, OsFormMessageIsCutAt511Characters) {
    std::string longPath(700, 'p');
    try {
        VFW_THROW_OS(vfw::IOException, EIO, "Cannot open %s", longPath.c_str());
        FAIL();
    } catch (const vfw::IOException& e) {
        EXPECT_EQ(std::strlen(e.what()), 511u);
    }
}

TEST_F(ExceptionTest, BufferFullIsAnOutOfRangeWithItsMessage) {
    try {
        VFW_THROW(vfw::BufferFullException, -1, "runqueue full %ld", 42L);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "runqueue full 42");
    }
    try {
        VFW_THROW(vfw::BufferFullException, -1, "runqueue full %ld", 7L);
        FAIL();
    } catch (const VFWException& e) {
        EXPECT_STREQ(e.what(), "runqueue full 7");
    }
}

TEST_F(ExceptionTest, RecordCarriesClassNameAsWrittenAndTheSite) {
    int line = 0;
    try {
        line = __LINE__ + 1;
        VFW_THROW(vfw::NotFoundException, -1, "Cannot open directory %s", "/x");
    } catch (const VFWException&) {
    }
    using namespace vfw;
    try {
        VFW_THROW(FatalErrorException, 2, "bad");
    } catch (const VFWException&) {
    }
    ASSERT_EQ(g_records.size(), 2u);
    EXPECT_EQ(g_records[0].className, "vfw::NotFoundException");
    EXPECT_EQ(g_records[0].message, "Cannot open directory /x");
    EXPECT_EQ(g_records[0].file, __FILE__);
    EXPECT_EQ(g_records[0].line, line);
    EXPECT_EQ(g_records[0].rc, -1);
    EXPECT_EQ(g_records[1].className, "FatalErrorException");
}

TEST_F(ExceptionTest, NoRecordWithoutLogFlagOrForEndOfFile) {
    using namespace vfw;
    try {
        VFW_THROW_NOLOG(QueueInterrupted, 0, "QueueInterrupted");
    } catch (const QueueInterrupted& e) {
        EXPECT_STREQ(e.what(), "QueueInterrupted");
    }
    try {
        VFW_THROW(EndOfFileException, -1, "Queue is shutting down");
    } catch (const EndOfFileException&) {
    }
    EXPECT_TRUE(g_records.empty());
}

TEST_F(ExceptionTest, EveryClassIsAVfwException) {
    auto caught = [](auto thrower) {
        try {
            thrower();
        } catch (const VFWException&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::SystemException, 1, "s"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::TryAgainException, 11, "t"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::IOException, -1, "i"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::FatalErrorException, 1, "f"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::NotFoundException, 0, "n"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::BadDataException, 0, "b"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::EndOfFileException, -1, "e"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::QueueInterrupted, 0, "q"); }));
    EXPECT_TRUE(caught([] { VFW_THROW(vfw::BufferFullException, -1, "f"); }));
}

}  // namespace
