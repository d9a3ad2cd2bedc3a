// Restores snapshots whose fields were edited and then sealed with fresh checksums, so that the
// inputs reach the checks behind the checksums.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/restore_oracle.hpp"
#include "fuzz/snapshot_mutator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarvel_fuzz::checkRestore(std::vector<std::uint8_t>(data, data + size));
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
    const std::vector<std::uint8_t> out =
        tarvel_fuzz::mutateSnapshot(std::vector<std::uint8_t>(data, data + size), seed);
    if (out.size() > max_size) return size;
    std::copy(out.begin(), out.end(), data);
    return out.size();
}
