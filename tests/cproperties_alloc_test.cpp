// The configuration store when memory runs out: every one of its own allocations fails in turn
// around a load and the getter and list queries.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cproperties_test_helpers.h"
#include "vfw/cproperties_seam.h"

using namespace cprops_test;

namespace {

using Answer = std::pair<std::string, int>;  // the query's result as text, and its code

std::string text(const char* value) {
    return value != nullptr ? value : "<null>";
}

std::string joined(const vfw::ValueList* list) {
    return list != nullptr ? ::testing::PrintToString(items(list)) : "<null>";
}

// Each query of the table, with the code that its call wrote.
std::vector<Answer> ask(vfw::Props* p) {
    using Query = std::function<std::string(int*)>;
    const Query queries[] = {
        [&](int* e) { return text(p->getProperty(p, "name", e)); },
        [&](int* e) { return text(p->getProperty(p, "joinname", e)); },  // a host fact
        [&](int* e) { return text(p->getPropertyWithDefault(p, "absent", "dflt", e)); },
        [&](int* e) { return std::to_string(p->getInt(p, "number", 7, e)); },
        [&](int* e) { return std::to_string(p->getBool(p, "flag", false, e)); },
        [&](int* e) { return std::to_string(p->getTime(p, "wait", 5, 's', e)); },
        [&](int* e) { return joined(p->getValueList(p, "list", nullptr, e)); },
        [&](int* e) { return joined(p->getValueList(p, "users", nullptr, e)); },
        [&](int* e) { return joined(p->getPropertyList(p, "li", e)); },
        [&](int* e) {
            const vfw::ValueList* list = p->getValueList(p, "list", nullptr, e);
            return list != nullptr ? text(p->valueListToString(p, list, 0, e)) : "<no list>";
        },
        [&](int* e) { return std::to_string(p->isStringInPropertyList(p, "list", "b c", "", e)); },
    };
    std::vector<Answer> answers;
    for (const Query& query : queries) {
        int err = 1;
        std::string result = query(&err);
        answers.emplace_back(std::move(result), err);
    }
    return answers;
}

// A load of `path` (none for an empty path) and the queries, with the store's `k`-th allocation
// failing (none for 0): the load's code, the answers (none when the store itself could not be
// made) and whether the failure happened.
struct Outcome {
    int load;
    std::vector<Answer> answers;
    bool failed;
};

Outcome loadAndAsk(const std::string& path, long k) {
    vfw::seam::FailCPropertiesAllocation(k);
    Outcome outcome{};
    {
        Store s;
        outcome.load = path.empty() ? vfw::newProps(&s.p, 1, 0)
                                    : vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0);
        if (s.p != nullptr) {
            outcome.answers = ask(s.p);
        }
    }
    outcome.failed = k > 0 && vfw::seam::FailCPropertiesAllocation(0) == 0;
    return outcome;
}

// For k = 1, 2, ... until a run needs fewer than k allocations: each answer is the one without
// failures, the one for a property without a value after a load that said -12, or -12 with
// that value or null; a store that could not be made is -12. An exception that escapes fails the
// test by itself, and a leak fails it in the sanitizer build, where LeakSanitizer checks the
// process at its exit.
TEST(CPropertiesAllocation, EveryFailedAllocationIsAnsweredAndLeaksNothing) {
    vfw_test::TempDir dir;
    const std::string conf = dir.file("vantrelaud.conf");
    vfw_test::writeFile(dir.file("users"), "root daemon\n");
    vfw_test::writeFile(conf,
                        "name: value\nnumber: 42\nflag: yes\nwait: 3m\nlist: a, 'b c' d\n"
                        "users: file:" +
                            dir.file("users") + "\n");
    const Outcome full = loadAndAsk(conf, 0), none = loadAndAsk("", 0);
    ASSERT_EQ(0, full.load);
    ASSERT_EQ(full.answers.size(), none.answers.size());
    long k = 0;
    Outcome r;
    while ((r = loadAndAsk(conf, ++k)).failed) {
        EXPECT_TRUE(r.load == 0 || r.load == -12) << "allocation " << k << ": " << r.load;
        EXPECT_TRUE(!r.answers.empty() || r.load == -12) << "allocation " << k;
        for (size_t i = 0; i < r.answers.size(); ++i) {
            const Answer& got = r.answers[i];
            const bool empty = got.first == none.answers[i].first || got.first == "<null>";
            // A load that answers 0 lost nothing: only a failing query may differ.
            EXPECT_TRUE(got == full.answers[i] || (r.load != 0 && got == none.answers[i]) ||
                        (got.second == -12 && empty))
                << "allocation " << k << ", query " << i << ": " << got.first << " " << got.second;
        }
    }
    EXPECT_EQ(full.answers, r.answers) << "the run that fails nothing";
    EXPECT_GT(k, 1) << "no allocation was failed";
    ::testing::Test::RecordProperty("allocations", static_cast<int>(k - 1));
}

}  // namespace
