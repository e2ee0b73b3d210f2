// Helpers of the configuration store's tests: a store that frees itself, loading from text,
// and the trace file's name.
#ifndef VFW_CPROPERTIES_TEST_HELPERS_H
#define VFW_CPROPERTIES_TEST_HELPERS_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/test_util.h"
#include "vfw/cproperties.h"

namespace cprops_test {

using vfw_test::Sandbox;

class Store {
  public:
    Store() = default;
    ~Store() {
        if (p != nullptr) {
            vfw::freeProps(p);
        }
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    vfw::Props* operator->() const { return p; }

    vfw::Props* p = nullptr;
};

// Loads `text` as a configuration file; returns the load's code.
inline int loadText(Store& store, const std::string& text) {
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf");
    vfw_test::writeFile(path, text);
    return vfw::newPropsFromFile(&store.p, path.c_str(), 1, 0);
}

// The value of `name` as getProperty returns it; "<none>" for a null result.
inline std::string get(Store& store, const char* name) {
    const char* value = store->getProperty(store.p, name, nullptr);
    return value != nullptr ? value : "<none>";
}

inline std::vector<std::string> items(const vfw::ValueList* list) {
    std::vector<std::string> result;
    if (list == nullptr) {
        return result;
    }
    for (const vfw::ValueNode* node = list->next(list, nullptr); node != nullptr;
         node = list->next(list, node)) {
        result.push_back(node->strings[0]);
    }
    return result;
}

// The trace file of this process.
inline std::string tracePath() {
    return "/var/vantrelaud/cproperties.log." + std::to_string(::getpid());
}

}  // namespace cprops_test

#endif
