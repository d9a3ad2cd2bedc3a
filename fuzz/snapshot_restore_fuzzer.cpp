// Restores arbitrary bytes into sessions that already hold state.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/restore_oracle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarvel_fuzz::checkRestore(std::vector<std::uint8_t>(data, data + size));
    return 0;
}
