#pragma once

#include <functional>
#include <iosfwd>
#include <vector>

namespace Nuvexis::Core::Tarvel::Conformance {

using Scenario = std::function<void()>;

// Written, with one line feed, only when every scenario has returned.
inline constexpr const char* success_line =
    "transformer-kv parity=PREFIX-EVERY-POSITION attention=MHA+GQA chunks=PREFILL+DECODE "
    "snapshot=RESTORED fork=ISOLATED bounds=0/1/CONTEXT/OVERFLOW bytes=EXACT "
    "failures=TRANSACTIONAL reset=FRESH observer=CONST-STATS";

// The conformance scenarios in their binding order.
std::vector<Scenario> conformanceScenarios();

// Runs the scenarios in order. On success writes the success line to `out` and returns 0; at
// the first exception writes its message and a line feed to `err`, runs nothing further and
// returns 1. Nothing reaches `out` before the success line.
int runScenarios(const std::vector<Scenario>& scenarios, std::ostream& out, std::ostream& err);

}  // namespace Nuvexis::Core::Tarvel::Conformance
