#include "tarvel/core/value_check.hpp"

#include <stdexcept>

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

void throwForwardValue() {
    throw std::domain_error("transformer forward produced NaN/Inf");
}
void throwOperatorValue() {
    throw std::domain_error("transformer operator produced NaN/Inf");
}
void throwCachedValue() {
    throw std::domain_error("cached transformer produced NaN/Inf");
}

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
