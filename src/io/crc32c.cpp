#include "io/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(TESSRA_X86)
#include <nmmintrin.h>
#endif

namespace tessra::io {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // 0x1EDC6F41 bit-reversed

// table[k][b]: the CRC of byte b followed by k zero bytes, so eight bytes can
// be folded with eight independent look-ups.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

Tables make_tables() {
    Tables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1u) ? kPolynomial : 0u);
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    return t;
}

const Tables& tables() {
    static const Tables t = make_tables();
    return t;
}

std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

#if defined(TESSRA_X86)
__attribute__((target("sse4.2"))) std::uint32_t extend_hardware(std::uint32_t crc, const void* data,
                                                                 std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t c = ~crc;
    for (; size > 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0; --size, ++p)
        c = _mm_crc32_u8(static_cast<std::uint32_t>(c), *p);
    for (; size >= 8; size -= 8, p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
    }
    for (; size > 0; --size, ++p) c = _mm_crc32_u8(static_cast<std::uint32_t>(c), *p);
    return ~static_cast<std::uint32_t>(c);
}

bool hardware_present() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2");
}
#else
bool hardware_present() { return false; }
#endif

}  // namespace

std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t size) {
    const Tables& t = tables();
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t c = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        const std::uint64_t word = load_le64(p) ^ c;
        c = t[7][word & 0xFF] ^ t[6][(word >> 8) & 0xFF] ^ t[5][(word >> 16) & 0xFF] ^ t[4][(word >> 24) & 0xFF] ^
            t[3][(word >> 32) & 0xFF] ^ t[2][(word >> 40) & 0xFF] ^ t[1][(word >> 48) & 0xFF] ^ t[0][word >> 56];
    }
    for (; size > 0; --size, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFFu];
    return ~c;
}

bool crc32c_uses_hardware() {
    static const bool present = hardware_present();
    return present;
}

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size) {
#if defined(TESSRA_X86)
    if (crc32c_uses_hardware()) return extend_hardware(crc, data, size);
#endif
    return crc32c_extend_portable(crc, data, size);
}

}  // namespace tessra::io
