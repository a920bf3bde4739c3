// Picks the kernel set once, from the CPU's features at run time.
#include "metrics/kernels.hpp"

namespace tessra {
namespace {

bool cpu_supports(const char* feature) {
#if defined(TESSRA_X86) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (feature[3] == '5') return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return __builtin_cpu_supports("avx2");
#else
    (void)feature;
    return false;
#endif
}

}  // namespace

std::vector<const KernelSet*> supported_kernels() {
    std::vector<const KernelSet*> sets{&kScalarKernels};
#if defined(TESSRA_X86)
    if (cpu_supports("avx2")) sets.push_back(&kAvx2Kernels);
    if (cpu_supports("avx512")) sets.push_back(&kAvx512Kernels);
#endif
    return sets;
}

const KernelSet& active_kernels() {
    static const KernelSet* best = supported_kernels().back();
    return *best;
}

}  // namespace tessra
