#include <iostream>
#include <string_view>

#include "driver/entry.hpp"

namespace {

constexpr std::string_view usage =
    "usage: tarvel-conformance\n"
    "\n"
    "Builds small fixture models and checks, through the public API, that chunked prefill and\n"
    "decode give the logits of a full recompute at every position (multi-head and grouped-query\n"
    "attention, both precisions), that forks are isolated, snapshots restore exactly, resets\n"
    "start fresh, the context and byte limits hold at their boundaries, and every refused step\n"
    "leaves its session unchanged.\n"
    "\n"
    "On success it prints one line naming those properties and exits 0; otherwise it prints the\n"
    "property that failed on standard error and exits 1.\n";

}  // namespace

// The driver reads no arguments, except that --help (or -h) explains it instead of running it.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << usage;
            return 0;
        }
    }
    using namespace Nuvexis::Core::Tarvel::Conformance;
    return runScenarios(conformanceScenarios(), std::cout, std::cerr);
}
