// DBQComposite against an in-memory model (std::deque) under random sequences of appends,
// reads, removals, shrinks, reopens and renewals with a small size limit. After every step the
// composite's count and data size equal the model's and the sums over the member files'
// master blocks, and the members are exactly the consecutive numbers between the two ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq_composite.h"

namespace {

using vfw::DBQComposite;

const uint64_t LIMIT = 1500;

class Model {
  public:
    explicit Model(unsigned seed) : m_random(seed), m_path(m_dir.file("spool")) { reopen(); }

    void step() {
        int choice = pick(100);
        if (choice < 45) {
            std::string record = makeRecord();
            dbq_test::enqueue(*m_queue, record);
            m_records.push_back(record);
        } else if (choice < 65) {
            vfw::ByteArray data;
            uint32_t length = 0;
            m_queue->dequeue(data, length);
            std::string got =
                length == 0 ? "" : std::string(reinterpret_cast<char*>(data.get()), length);
            ASSERT_EQ(got, front());
            pop();
        } else if (choice < 80) {
            m_queue->dequeue();
            pop();
        } else if (choice < 90) {
            ASSERT_EQ(dbqc_test::peekText(*m_queue), front());
        } else if (choice < 95) {
            m_queue->shrink();
        } else if (choice < 98) {
            reopen();
        } else {
            m_queue->flushDb();
            ASSERT_TRUE(m_queue->isOpen());
        }
    }

    void check() {
        uint64_t size = 0;
        for (const std::string& record : m_records) {
            size += record.size();
        }
        ASSERT_EQ(m_queue->count(), int64_t(m_records.size()));
        ASSERT_EQ(m_queue->getDataSize(), size);
        ASSERT_EQ(m_queue->isEmpty(),
                  m_records.empty() && m_queue->getDequeueId() == m_queue->getEnqueueId());
        dbqc_test::Totals totals = dbqc_test::memberTotals(m_path);
        ASSERT_EQ(totals.count, m_queue->count());
        ASSERT_EQ(totals.size, m_queue->getDataSize());
        std::vector<std::string> expected;
        for (int64_t id = m_queue->getDequeueId(); id <= m_queue->getEnqueueId(); ++id) {
            expected.push_back(std::to_string(id));
        }
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(dbqc_test::entries(m_path), expected);
        m_highestMember = std::max(m_highestMember, m_queue->getEnqueueId());
    }

    int64_t highestMember() const { return m_highestMember; }

  private:
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }

    // Mostly short records, some spanning several blocks, a few longer than the limit.
    std::string makeRecord() {
        int kind = pick(10);
        size_t length = kind < 6 ? 1 + pick(300) : kind < 9 ? 400 + pick(1200) : 1500 + pick(2000);
        std::string record(length, '\0');
        for (char& c : record) {
            c = char(pick(256));
        }
        return record;
    }

    std::string front() const { return m_records.empty() ? "" : m_records.front(); }
    void pop() {
        if (!m_records.empty()) {
            m_records.pop_front();
        }
    }

    void reopen() {
        m_queue.reset(new DBQComposite(512));
        m_queue->setMaxSize(LIMIT);
        ASSERT_TRUE(m_queue->open(m_path, 1, 0600, true, "model"));
    }

    std::mt19937 m_random;
    vfw_test::TempDir m_dir;
    std::string m_path;
    std::unique_ptr<DBQComposite> m_queue;
    std::deque<std::string> m_records;
    int64_t m_highestMember = 0;
};

TEST(DbqCompositeModelTest, TotalsAndMembersFollowEveryStep) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Model model(seed);
        for (int i = 0; i < 1200; ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            model.step();
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
            model.check();
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        EXPECT_GT(model.highestMember(), 20) << "the sequence exercised rotation";
    }
}

}  // namespace
