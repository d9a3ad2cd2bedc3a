#pragma once

namespace Nuvexis::Core::Tarvel::Conformance {

// Throws std::runtime_error carrying exactly `message` when the condition is false.
void expect(bool condition, const char* message);

// Throws std::runtime_error carrying exactly `message` when |actual - expected| is greater
// than the tolerance, or is not a number: a NaN difference is a failure, never a pass.
void expectNear(double actual, double expected, double tolerance, const char* message);

}  // namespace Nuvexis::Core::Tarvel::Conformance
