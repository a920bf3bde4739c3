#include <cstring>

#include "check.hpp"

// core_tests [WORD...]: runs every test, or those whose name contains one of the words.
int main(int argc, char** argv) {
    const auto selected = [&](const char* name) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i)
            if (std::strstr(name, argv[i]) != nullptr) return true;
        return false;
    };
    int failed_cases = 0;
    int total = 0;
    for (const auto& c : check::registry()) {
        if (!selected(c.name)) continue;
        ++total;
        const int before = check::failures();
        c.body();
        if (check::failures() != before) {
            ++failed_cases;
            std::cerr << "FAILED " << c.name << "\n";
        }
    }
    std::cout << (total - failed_cases) << " passed, " << failed_cases << " failed\n";
    return failed_cases == 0 ? 0 : 1;
}
