#include "tarvel/ops/detail/panel_kernels.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

#if defined(TARVEL_PANEL_KERNELS)
extern const PanelKernels avx512_panel_kernels;
extern const PanelKernels avx2_panel_kernels;

namespace {

const PanelKernels* choosePanelKernels() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("f16c")) {
        return &avx512_panel_kernels;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c")) {
        return &avx2_panel_kernels;
    }
    return nullptr;
}

}  // namespace

const PanelKernels* panelKernels() noexcept {
    static const PanelKernels* const kernels = choosePanelKernels();
    return kernels;
}
#else
const PanelKernels* panelKernels() noexcept {
    return nullptr;
}
#endif

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
