#include "driver/expect.hpp"

#include <cmath>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel::Conformance {

void expect(bool condition, const char* message) {
    if (!condition) throw std::runtime_error(message);
}

void expectNear(double actual, double expected, double tolerance, const char* message) {
    const double difference = std::fabs(actual - expected);
    // Written as "not within" so that a NaN difference fails.
    if (!(difference <= tolerance)) throw std::runtime_error(message);
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
