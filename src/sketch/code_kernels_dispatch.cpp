// Picks the code kernel set once, from the CPU's features at run time.
#include "sketch/code_kernels.hpp"

namespace tessra {

std::vector<const CodeKernels*> supported_code_kernels() {
    std::vector<const CodeKernels*> sets{&kScalarCodeKernels};
#if defined(TESSRA_X86) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) sets.push_back(&kAvx2CodeKernels);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
        sets.push_back(&kAvx512CodeKernels);
#endif
    return sets;
}

const CodeKernels& active_code_kernels() {
    static const CodeKernels* best = supported_code_kernels().back();
    return *best;
}

}  // namespace tessra
