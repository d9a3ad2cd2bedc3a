#pragma once

#include <cstdint>
#include <string>

#include "tarvel/export.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Unambiguous byte string of every field of the spec, in a fixed order, behind the domain tag
// "tarvel-transformer-spec-v1;". Independent of the process locale.
std::string canonicalSpecText(const TransformerSpec& spec);

// checksum64 of the canonical text.
std::uint64_t specFingerprint(const TransformerSpec& spec);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
