#include "driver/entry.hpp"

#include "driver/scenarios.hpp"

#include <exception>
#include <ostream>

namespace Nuvexis::Core::Tarvel::Conformance {

int runScenarios(const std::vector<Scenario>& scenarios, std::ostream& out, std::ostream& err) {
    try {
        for (const Scenario& scenario : scenarios) scenario();
        out << success_line << '\n';
        out.flush();
        return 0;
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        err.flush();
        return 1;
    }
}

std::vector<Scenario> conformanceScenarios() {
    return {
        [] { prefixParity(false); },
        [] { prefixParity(true); },
        [] { chunksForkRestoreAndReset(); },
        [] { boundariesAndTransactionalFailures(); },
    };
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
