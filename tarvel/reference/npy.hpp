#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace Nuvexis::Core::Tarvel {

// An array of a NumPy .npy file, its values widened to double.
struct NpyArray {
    std::vector<std::uint64_t> shape;
    std::vector<double> values;  // row-major
};

// The bytes of a version 1.0 .npy file holding `values` as little-endian float64 ('<f8') in
// C order: the magic, the header length, the header dictionary padded with spaces to a multiple
// of 64 bytes and ended with a newline, then the values. Throws std::invalid_argument "npy
// shape does not match its values" when the shape's product is not values.size().
std::vector<std::uint8_t> npyBytes(std::span<const std::uint64_t> shape,
                                   std::span<const double> values);

// Reads a .npy file of little-endian float16, float32 or float64 values ('<f2', '<f4', '<f8')
// in C order, versions 1.0 to 3.0; each value is widened to double exactly. Every field is checked
// before use; a fault throws std::invalid_argument "npy: <what is wrong>".
NpyArray readNpy(std::span<const std::uint8_t> bytes);

}  // namespace Nuvexis::Core::Tarvel
