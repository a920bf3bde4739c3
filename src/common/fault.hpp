// An internal fault: a broken internal check. The Python layer turns it into
// the internal-fault exception; the core never catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace tessra {

struct Fault : std::logic_error {
    Fault(const std::string& message, const char* file, int line)
        : std::logic_error(message), file(file), line(line) {}
    const char* file;
    int line;
};

}  // namespace tessra

#define TESSRA_FAULT(message) throw ::tessra::Fault((message), __FILE__, __LINE__)
