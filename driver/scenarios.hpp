#pragma once

#include <cstdint>
#include <functional>

#include "tarvel/tarvel.hpp"

namespace Nuvexis::Core::Tarvel::Conformance {

// Each scenario signals failure only by throwing.
void prefixParity(bool groupedQuery);
void chunksForkRestoreAndReset();
void boundariesAndTransactionalFailures();

// Compares every logit of a step ({1, n, V}) with the full pass' logits at positions
// offset .. offset + n - 1, within 2e-6.
void expectChunkMatchesFull(const Tensor& chunk, const Tensor& full, std::uint64_t offset);

// Returns when the action throws TransformerKvError of the expected kind; throws
// std::runtime_error(message) when it returns or throws another kind. Other exceptions pass.
void expectKvError(const std::function<void()>& action, TransformerKvErrorKind expected,
                   const char* message);

}  // namespace Nuvexis::Core::Tarvel::Conformance
