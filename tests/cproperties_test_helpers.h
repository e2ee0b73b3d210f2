// Helpers of the configuration store's tests: a store that frees itself, loading from text,
// values and list items as strings, and the trace file's name.
#ifndef VFW_CPROPERTIES_TEST_HELPERS_H
#define VFW_CPROPERTIES_TEST_HELPERS_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/sandbox.h"
#include "support/test_util.h"
#include "vfw/cproperties.h"

namespace cprops_test {

using vfw_test::Sandbox;
using Items = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Codes = std::vector<long>;  // a braced list evaluates its elements left to right

struct Store {
    ~Store() { vfw::freeProps(p); }
    vfw::Props* operator->() const { return p; }
    vfw::Props* p = nullptr;
};

// Loads `text` as a configuration file; returns the load's code.
inline int loadText(Store& store, const std::string& text) {
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("vantrelaud.conf"), text);
    return vfw::newPropsFromFile(&store.p, dir.file("vantrelaud.conf").c_str(), 1, 0);
}

// The value of `name` as getProperty returns it; "<none>" for a null result.
inline std::string get(Store& store, const std::string& name) {
    const char* value = store->getProperty(store.p, name.c_str(), nullptr);
    return value != nullptr ? value : "<none>";
}

inline void expectValues(Store& store, const Pairs& expected) {
    for (const auto& e : expected)
        EXPECT_EQ(e.second, get(store, e.first)) << e.first;
}

// The items of a list: strings[k] of each node (a property list: 0 name, 1 value, 2 interValue).
inline Items items(const vfw::ValueList* list, int k = 0) {
    Items result;
    for (auto n = list ? list->next(list, nullptr) : nullptr; n; n = list->next(list, n))
        result.push_back(n->strings[k]);
    return result;
}

inline std::string tracePath() {
    return "/var/vantrelaud/cproperties.log." + std::to_string(::getpid());
}
inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace cprops_test

#endif
