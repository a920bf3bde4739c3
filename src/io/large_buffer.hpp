// Sizing the large arrays a reader fills (the vector store), so the kernel
// can back them with huge pages: a loaded index then takes one page fault per
// 2 MiB instead of one per 4 KiB, which otherwise dominates the load time.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessra::io {

template <typename T>
void resize_for_filling(std::vector<T>& values, std::size_t count) {
    values.reserve(count);
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const std::size_t bytes = count * sizeof(T);
    if (bytes >= 2 * kHugePage) {
        // Only the whole huge pages inside the block; a refused hint changes nothing.
        const auto begin = (reinterpret_cast<std::uintptr_t>(values.data()) + kHugePage - 1) & ~(kHugePage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(values.data()) + bytes) & ~(kHugePage - 1);
        if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    values.resize(count);
}

}  // namespace tessra::io
