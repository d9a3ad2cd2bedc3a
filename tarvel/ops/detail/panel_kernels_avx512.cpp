// Compiled with -mavx512f -mavx512vl -mf16c (and, like everything, without contraction into fused
// multiply-adds); called only where the processor has those sets.
#include <immintrin.h>

#include <cstdint>

// g++ 12 warns that _mm512_cvtps_pd and _mm512_cvtepi32_pd read their own undefined placeholder
// operand.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "tarvel/export.hpp"
#include "tarvel/ops/detail/panel_kernels_body.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

namespace {

using panel_body::Bf16Bits;
using panel_body::F16Bits;
using panel_body::F32Bits;
using panel_body::F64Bits;

// Eight outputs of a panel in one register.
struct Avx512 {
    using V = __m512d;
    // Rows at once: 4 × the panel's four registers of sums.
    static constexpr std::uint64_t rows = 4;

    static V zero() { return _mm512_setzero_pd(); }
    static V broadcast(double x) { return _mm512_set1_pd(x); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V codes(const std::int8_t* p) {
        return _mm512_cvtepi32_pd(
            _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static double half(std::uint16_t bits) { return static_cast<double>(_cvtsh_ss(bits)); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V roundToFloat(V v) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(v)); }
    // x - x is 0 for every finite x and NaN for infinities and NaNs.
    static bool finite(V v) {
        return _mm512_cmp_pd_mask(_mm512_sub_pd(v, v), _mm512_setzero_pd(), _CMP_EQ_OQ) == 0xFF;
    }

    template <class E>
    static V load(const unsigned char* p) {
        if constexpr (E::size == 8) {
            return _mm512_loadu_pd(p);
        } else if constexpr (E::size == 4) {
            return _mm512_cvtps_pd(_mm256_loadu_ps(reinterpret_cast<const float*>(p)));
        } else {
            const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if constexpr (__is_same(E, F16Bits)) {
                return _mm512_cvtps_pd(_mm256_cvtph_ps(bits));
            } else {
                // A bfloat16 is the upper half of the float32 of the same value.
                const __m256i wide = _mm256_slli_epi32(_mm256_cvtepu16_epi32(bits), 16);
                return _mm512_cvtps_pd(_mm256_castsi256_ps(wide));
            }
        }
    }
};

}  // namespace

extern const PanelKernels avx512_panel_kernels = panel_body::kernelsOf<Avx512>();

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
