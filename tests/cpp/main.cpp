#include "check.hpp"

int main() {
    int failed_cases = 0;
    for (const auto& c : check::registry()) {
        const int before = check::failures();
        c.body();
        if (check::failures() != before) {
            ++failed_cases;
            std::cerr << "FAILED " << c.name << "\n";
        }
    }
    const int total = static_cast<int>(check::registry().size());
    std::cout << (total - failed_cases) << " passed, " << failed_cases << " failed\n";
    return failed_cases == 0 ? 0 : 1;
}
