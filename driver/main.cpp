#include <iostream>

#include "driver/entry.hpp"

// The conformance driver takes no arguments; any that are given are ignored.
int main() {
    using namespace Nuvexis::Core::Tarvel::Conformance;
    return runScenarios(conformanceScenarios(), std::cout, std::cerr);
}
