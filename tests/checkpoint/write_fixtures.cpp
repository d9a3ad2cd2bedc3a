// Writes the golden fixture folders and a cases manifest for the float64 reference:
//   tarvel-checkpoint-fixtures DIR
//   /usr/bin/python3 tools/reference_logits.py --cases DIR/cases.json --out GOLDEN
// with GOLDEN = tests/checkpoint/golden_logits.json.
#include <iostream>
#include <map>

#include "fixture_checkpoints.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tarvel-checkpoint-fixtures DIR\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    nlohmann::json cases = nlohmann::json::array();
    std::map<std::string, std::vector<std::uint32_t>> tokens;
    for (const tarvel_test::FixtureCheckpoint& c : tarvel_test::goldenFixtures()) {
        tarvel_test::writeCheckpoint(dir / c.name, c);
        cases.push_back({{"name", c.name}, {"folder", c.name}, {"tokens", c.tokens}});
        tokens[c.name] = c.tokens;
    }
    // The same folders computed as if one feature were missing.
    for (const tarvel_test::IgnoredFeature& i : tarvel_test::ignoredFeatures()) {
        cases.push_back({{"name", i.fixture + " without " + i.feature},
                         {"folder", i.fixture},
                         {"tokens", tokens.at(i.fixture)},
                         {"ignore", {i.feature}}});
    }
    tarvel_test::writeText(dir / "cases.json", nlohmann::json{{"cases", cases}}.dump(2));
    return 0;
}
