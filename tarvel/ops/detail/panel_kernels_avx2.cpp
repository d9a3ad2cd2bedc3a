// Compiled with -mavx2 -mf16c (and, like everything, without contraction into fused
// multiply-adds); called only where the processor has those sets.
#include <immintrin.h>

#include <cstdint>

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

// Eight outputs of a panel in two registers.
struct Avx2 {
    struct V {
        __m256d lo;
        __m256d hi;
    };
    // Rows at once: 1 × the panel's eight registers of sums.
    static constexpr std::uint64_t rows = 1;

    static V zero() { return V{_mm256_setzero_pd(), _mm256_setzero_pd()}; }
    static V broadcast(double x) {
        const __m256d v = _mm256_set1_pd(x);
        return V{v, v};
    }
    static V add(V a, V b) { return V{_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)}; }
    static V sub(V a, V b) { return V{_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)}; }
    static V mul(V a, V b) { return V{_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)}; }
    static V codes(const std::int8_t* p) {
        const __m256i q =
            _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        return V{_mm256_cvtepi32_pd(_mm256_castsi256_si128(q)),
                 _mm256_cvtepi32_pd(_mm256_extracti128_si256(q, 1))};
    }
    static double half(std::uint16_t bits) { return static_cast<double>(_cvtsh_ss(bits)); }
    static void store(double* p, V v) {
        _mm256_storeu_pd(p, v.lo);
        _mm256_storeu_pd(p + 4, v.hi);
    }
    static V roundToFloat(V v) {
        return V{_mm256_cvtps_pd(_mm256_cvtpd_ps(v.lo)), _mm256_cvtps_pd(_mm256_cvtpd_ps(v.hi))};
    }
    // x - x is 0 for every finite x and NaN for infinities and NaNs.
    static bool finite(V v) {
        const __m256d zero = _mm256_setzero_pd();
        const __m256d lo = _mm256_cmp_pd(_mm256_sub_pd(v.lo, v.lo), zero, _CMP_EQ_OQ);
        const __m256d hi = _mm256_cmp_pd(_mm256_sub_pd(v.hi, v.hi), zero, _CMP_EQ_OQ);
        return _mm256_movemask_pd(_mm256_and_pd(lo, hi)) == 0xF;
    }
    static V split(__m256 f) {
        return V{_mm256_cvtps_pd(_mm256_castps256_ps128(f)),
                 _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1))};
    }

    template <class E>
    static V load(const unsigned char* p) {
        if constexpr (E::size == 8) {
            const auto* d = reinterpret_cast<const double*>(p);
            return V{_mm256_loadu_pd(d), _mm256_loadu_pd(d + 4)};
        } else if constexpr (E::size == 4) {
            return split(_mm256_loadu_ps(reinterpret_cast<const float*>(p)));
        } else {
            const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if constexpr (__is_same(E, F16Bits)) {
                return split(_mm256_cvtph_ps(bits));
            } else {
                // A bfloat16 is the upper half of the float32 of the same value.
                const __m256i wide = _mm256_slli_epi32(_mm256_cvtepu16_epi32(bits), 16);
                return split(_mm256_castsi256_ps(wide));
            }
        }
    }
};

}  // namespace

extern const PanelKernels avx2_panel_kernels = panel_body::kernelsOf<Avx2>();

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
