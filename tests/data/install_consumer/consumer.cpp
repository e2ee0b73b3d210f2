// Built against an installed vfw: the framework's formatter serves the library's own
// formatString, the program's snprintf calls (whose length GCC would replace by the C
// library's without the package's compile options) and the C++ library's number output.
// Prints "1.500000 00042 5 2.250000"; with the C library's formatter, or with GCC's length
// of the snprintf call, it would be "1.500000e+00    00042 8 2.25".
#include <cstdio>
#include <iostream>
#include <sstream>

#include "vfw/string_util.h"

int main() {
    char buffer[16];
    const int length = std::snprintf(buffer, sizeof buffer, "%08.5d", 42);
    std::ostringstream stream;
    stream << 2.25;
    std::cout << vfw::formatString("%e", 1.5) << ' ' << buffer << ' ' << length << ' '
              << stream.str() << '\n';
    return 0;
}
