#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Nuvexis::Core::Tarvel::detail {

// Real config.json, tokenizer_config.json and index files nest a few levels and hold at most a
// few hundred thousand values (an index names each tensor once).
inline constexpr std::uint64_t max_json_depth = 64;
inline constexpr std::uint64_t max_json_values = 1000000;

// Parses JSON from outside in time linear in its length. A first pass that builds nothing
// refuses, as soon as it is passed, nesting deeper than max_json_depth or more than
// max_json_values values (arrays and objects count as one each, keys not at all):
// std::invalid_argument "<file name>: <what> nests deeper than 64 levels" or "<file name>:
// <what> holds more than 1000000 JSON values". Only then is the value built. Text that is not
// well-formed JSON gives a discarded value.
nlohmann::json parseBoundedJson(std::string_view text, std::string_view file_name,
                                std::string_view what);

}  // namespace Nuvexis::Core::Tarvel::detail
