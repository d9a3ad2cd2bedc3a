#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Cosines and sines for `positions` consecutive positions; entry (p, k) at p * dim / 2 + k.
// Row p of a table built with offset o describes absolute position o + p.
struct RopeTable {
    std::uint64_t positions = 0;
    std::uint64_t dim = 0;
    std::vector<double> cos;
    std::vector<double> sin;
};

RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dim, double base,
                         std::uint64_t offset);

// The same with the inverse frequencies stretched by `scaling`. With kind none it is the table
// above, bit for bit; otherwise pair k's angle is a * scaled(1 / pow(base, 2k / dim)). After
// the checks above, invalid parameters (those validateSpec reports) throw
// std::invalid_argument "RoPE scaling is invalid".
RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dim, double base,
                         std::uint64_t offset, const RopeScalingSpec& scaling);

// Inverse frequency f of one pair as `scaling` stretches it, in double: linear gives
// f / factor; llama3 keeps f when its wavelength 2 * pi / f is below original_context /
// high_freq_factor, gives f / factor above original_context / low_freq_factor, and between
// them (1 - s) * (f / factor) + s * f with s = (original_context / wavelength - low_freq_factor)
// / (high_freq_factor - low_freq_factor). Does not check the parameters.
double scaledInverseFrequency(double f, const RopeScalingSpec& scaling);
double ropeCos(const RopeTable& table, std::uint64_t position, std::uint64_t pair);
double ropeSin(const RopeTable& table, std::uint64_t position, std::uint64_t pair);

// Rotates query {batch * seq, query_heads * dim} and key {batch * seq, kv_heads * dim} in
// place. On a failed value check the tensors are left partly rotated.
void applyRopeTable(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t seq,
                    std::uint64_t query_heads, std::uint64_t kv_heads, const RopeTable& table,
                    bool double_precision);

void applyRope(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t seq,
               std::uint64_t query_heads, std::uint64_t kv_heads, std::uint64_t head_dim,
               double base, std::uint64_t offset, bool double_precision);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
