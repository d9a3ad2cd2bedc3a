#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"

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
