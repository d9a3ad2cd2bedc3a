#include "tarvel/ops/detail/panel_kernels.hpp"
#include "tarvel/export.hpp"

#if defined(TARVEL_PANEL_KERNELS)
#include <cpuid.h>
#endif

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

#if defined(TARVEL_PANEL_KERNELS)
extern const PanelKernels avx512_panel_kernels;
extern const PanelKernels avx2_panel_kernels;

namespace {

// F16C from CPUID itself: clang before 15 does not know the feature name in
// __builtin_cpu_supports. Its registers are those of AVX, whose use the OS allows wherever
// __builtin_cpu_supports reports AVX2 or AVX-512.
bool hasF16c() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
}

bool hasAvx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && hasF16c();
}

bool hasAvx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && hasF16c();
}

}  // namespace

const PanelKernels* panelKernels() noexcept {
    static const PanelKernels* const kernels = hasAvx512() ? &avx512_panel_kernels
                                               : hasAvx2() ? &avx2_panel_kernels
                                                           : nullptr;
    return kernels;
}

std::vector<NamedPanelKernels> availablePanelKernels() {
    std::vector<NamedPanelKernels> sets;
    if (hasAvx512()) sets.push_back({"avx512", &avx512_panel_kernels});
    if (hasAvx2()) sets.push_back({"avx2", &avx2_panel_kernels});
    return sets;
}
#else
const PanelKernels* panelKernels() noexcept {
    return nullptr;
}

std::vector<NamedPanelKernels> availablePanelKernels() {
    return {};
}
#endif

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
