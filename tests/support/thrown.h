// What a callable throws, as one text: "<class> <rc> <message>" for a framework exception (its
// class without "vfw::" and the "Exception" suffix), "std <message>" for another standard
// exception, "other" for anything else and "-" when it returns.
#ifndef VFW_TEST_THROWN_H
#define VFW_TEST_THROWN_H

#include <cxxabi.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <typeinfo>

#include "vfw/error_util.h"

namespace vfw_test {

inline std::string thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const vfw::Base_Exception& e) {
        static const std::regex decoration("^vfw::|Exception$");
        char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, nullptr);
        const std::string type = std::regex_replace(name != nullptr ? name : "?", decoration, "");
        std::free(name);
        return type + " " + std::to_string(e.getRc()) + " " + e.what();
    } catch (const abi::__forced_unwind&) {  // a thread's cancellation goes on
        throw;
    } catch (const std::exception& e) {
        return std::string("std ") + e.what();
    } catch (...) {
        return "other";
    }
    return "-";
}

}  // namespace vfw_test

#endif
