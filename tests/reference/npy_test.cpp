// The .npy writer and reader: numpy's own layout, values bit for bit, and every refused header.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "support/expect_throw.hpp"
#include "tarvel/reference/npy.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

std::vector<std::uint8_t> npyFile(const std::string& header, std::size_t data_bytes,
                                  std::uint8_t major = 1) {
    std::vector<std::uint8_t> bytes = {0x93, 'N', 'U', 'M', 'P', 'Y', major, 0};
    bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    if (major > 1) bytes.insert(bytes.end(), {0, 0});
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.resize(bytes.size() + data_bytes, 0);
    return bytes;
}

TEST(Npy, WritesNumpysLayoutAndReadsItBackBitForBit) {
    const std::vector<double> values = {1.5,    -0.0, std::numeric_limits<double>::denorm_min(),
                                        -1e300, 0.1,  42.0};
    const std::uint64_t shape[] = {2, 3};
    const std::vector<std::uint8_t> bytes = npyBytes(shape, values);
    const std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3), }";
    ASSERT_EQ(bytes.size(), 128u + 48u);  // the preamble padded to 128, then 6 doubles
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "\x93NUMPY");
    EXPECT_EQ(bytes[6], 1);
    EXPECT_EQ(bytes[8] | (bytes[9] << 8), 118);
    EXPECT_EQ(
        std::string(bytes.begin() + 10, bytes.begin() + 10 + static_cast<long>(header.size())),
        header);
    EXPECT_EQ(bytes[127], '\n');
    const NpyArray back = readNpy(bytes);
    EXPECT_EQ(back.shape, (std::vector<std::uint64_t>{2, 3}));
    ASSERT_EQ(back.values.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back.values[i]),
                  std::bit_cast<std::uint64_t>(values[i]));

    // One dimension is written as numpy writes a 1-tuple.
    const std::uint64_t line[] = {1};
    const std::vector<std::uint8_t> one = npyBytes(line, std::vector<double>{2.0});
    EXPECT_NE(std::string(one.begin(), one.end()).find("'shape': (1,), }"), std::string::npos);
    EXPECT_EQ(readNpy(one).shape, (std::vector<std::uint64_t>{1}));
    EXPECT_THROW_MSG(npyBytes(shape, std::vector<double>{1.0}), std::invalid_argument,
                     "npy shape does not match its values");
}

TEST(Npy, WidensFloat16AndFloat32Exactly) {
    std::vector<std::uint8_t> half =
        npyFile("{'descr': '<f2', 'fortran_order': False, 'shape': (5,)}\n", 10);
    const std::uint16_t halves[] = {0x3c00, 0xc000, 0x0001, 0x7bff, 0x8000};
    for (std::size_t i = 0; i < 5; ++i) {
        half[half.size() - 10 + 2 * i] = static_cast<std::uint8_t>(halves[i] & 0xff);
        half[half.size() - 10 + 2 * i + 1] = static_cast<std::uint8_t>(halves[i] >> 8);
    }
    const NpyArray h = readNpy(half);
    EXPECT_EQ(h.values, (std::vector<double>{1.0, -2.0, std::ldexp(1.0, -24), 65504.0, -0.0}));
    EXPECT_TRUE(std::signbit(h.values[4]));

    std::vector<std::uint8_t> single =
        npyFile("{'shape': (1, 2), 'fortran_order': False, 'descr': '<f4', }", 8, 2);
    const std::uint32_t bits[] = {std::bit_cast<std::uint32_t>(0.1f),
                                  std::bit_cast<std::uint32_t>(-3.5f)};
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::size_t b = 0; b < 4; ++b)
            single[single.size() - 8 + 4 * i + b] = static_cast<std::uint8_t>(bits[i] >> (8 * b));
    }
    const NpyArray f = readNpy(single);
    EXPECT_EQ(f.shape, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(f.values, (std::vector<double>{static_cast<double>(0.1f), -3.5}));
}

TEST(Npy, RefusesEachFaultWithItsMessage) {
    const std::string plain = "'fortran_order': False, 'shape': (2,)}";
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* message;
    } cases[] = {
        {{'a', 'b', 'c'}, "npy: not a NumPy .npy file"},
        {npyFile("{'descr': '<f8', " + plain, 16, 4), "npy: version 4.0 is not supported"},
        {{0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, 200, 0, '{'}, "npy: file ends inside its header"},
        {npyFile("{'descr': '<i4', " + plain, 8),
         "npy: dtype '<i4' is not little-endian float16, float32 or float64"},
        {npyFile("{'descr': '>f8', " + plain, 16),
         "npy: dtype '>f8' is not little-endian float16, float32 or float64"},
        {npyFile("{'descr': '<f8', 'fortran_order': True, 'shape': (2, 2)}", 32),
         "npy: Fortran-ordered arrays are not supported"},
        {npyFile("{'descr': '<f8', 'fortran_order': False}", 0), "npy: header lacks 'shape'"},
        {npyFile("{'descr': '<f8', 'descr': '<f8', " + plain, 16), "npy: header repeats 'descr'"},
        {npyFile("{'descr': '<f8', 'x': 1, " + plain, 16), "npy: header has an unknown key 'x'"},
        {npyFile("['descr']", 16), "npy: header is not a dictionary literal"},
        {npyFile("{'descr': '<f8', 'fortran_order': 0, 'shape': (2,)}", 16),
         "npy: 'fortran_order' is not True or False"},
        {npyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (2, -1)}", 16),
         "npy: 'shape' is not a tuple of sizes"},
        {npyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (99999999999999999999,)}", 16),
         "npy: 'shape' has a size past 64 bits"},
        {npyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (4294967296, 4294967296)}", 16),
         "npy: shape holds more values than 64 bits count"},
        {npyFile("{'descr': '<f8', " + plain, 8), "npy: data is 8 bytes; the shape needs 16"},
        {npyFile("{'descr': '<f8', " + plain, 24), "npy: data is 24 bytes; the shape needs 16"},
        {npyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (9999999999,)}", 8),
         "npy: data is 8 bytes; the shape needs 79999999992"},
        {npyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (2305843009213693952,)}", 8),
         "npy: data is 8 bytes; the shape needs more than 64 bits count"},
        {npyFile("{'descr': '<f8', " + plain + " x", 16),
         "npy: header has text after its dictionary"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_THROW_MSG(readNpy(c.bytes), std::invalid_argument, c.message);
    }
}

}  // namespace
