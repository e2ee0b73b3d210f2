// Links an installed vfw and calls nothing of it: the package's link options alone bring its
// formatter in, which then serves the C++ library's number output. Prints "2.250000"; with the
// C library's formatter it would be "2.25".
#include <iostream>
#include <sstream>

int main() {
    std::ostringstream stream;
    stream << 2.25;
    std::cout << stream.str() << '\n';
    return 0;
}
