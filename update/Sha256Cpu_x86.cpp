// SHA-256 with the x86 SHA extensions, compiled for them by attribute and used only when the CPU has them,
// so that one binary runs on every x86-64 processor.
#include <cpuid.h>
#include <immintrin.h>

#include "update/Sha256Cpu.h"

namespace {

__attribute__((target("sha,sse4.1,ssse3"))) void ShaExtensionBlocks(std::uint32_t state[8], const unsigned char* blocks,
                                                                     std::size_t count) {
    // The instructions keep the state as the word pairs ABEF and CDGH.
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
        // Unrolled, the four message registers stay in registers instead of an array in memory.
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i& words = w[g & 3];
            if (g < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)), byteSwap);
            } else {
                // w[g & 3] still holds the words of group g - 4.
                __m128i next = _mm_sha256msg1_epu32(words, w[(g - 3) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g - 1) & 3], w[(g - 2) & 3], 4));
                words = _mm_sha256msg2_epu32(next, w[(g - 1) & 3]);
            }
            __m128i message = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256Round + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool CpuHasShaExtensions() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool vectors = (ecx & bit_SSSE3) != 0 && (ecx & bit_SSE4_1) != 0;
    if (!vectors || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & bit_SHA) != 0;
}

}  // namespace

FirmwareSha256::BlockRoutine Sha256CpuBlockRoutine() {
    static const bool present = CpuHasShaExtensions();
    return present ? &ShaExtensionBlocks : nullptr;
}
