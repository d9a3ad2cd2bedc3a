#include "tarvel/ops/rope.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/value_check.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

[[noreturn]] void throwTableIndex() {
    throw std::out_of_range("RoPE table index out of bounds");
}

// Rotates t {batch * seq, heads * table.dim}, whose shape the caller has checked, with rows
// 0 .. seq - 1 of a table that holds them.
void rotate(Tensor& t, std::uint64_t batch, std::uint64_t seq, std::uint64_t heads,
            const RopeTable& table, bool double_precision) {
    const std::uint64_t head_dim = table.dim;
    const std::uint64_t pairs = head_dim / 2;
    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < seq; ++s) {
            double* row = t.data.data() + (b * seq + s) * heads * head_dim;
            const double* cos = table.cos.data() + s * pairs;
            const double* sin = table.sin.data() + s * pairs;
            for (std::uint64_t h = 0; h < heads; ++h) {
                double* head = row + h * head_dim;
                for (std::uint64_t k = 0; k < pairs; ++k) {
                    const double x0 = head[2 * k];
                    const double x1 = head[2 * k + 1];
                    head[2 * k] = checkOperatorValue(x0 * cos[k] - x1 * sin[k], double_precision);
                    head[2 * k + 1] =
                        checkOperatorValue(x1 * cos[k] + x0 * sin[k], double_precision);
                }
            }
        }
    }
}

}  // namespace

RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dim, double base,
                         std::uint64_t offset) {
    return buildRopeTable(positions, dim, base, offset, RopeScalingSpec{});
}

double scaledInverseFrequency(double f, const RopeScalingSpec& scaling) {
    if (scaling.kind == RopeScalingKind::linear) return f / scaling.factor;
    if (scaling.kind != RopeScalingKind::llama3) return f;
    // The double nearest 2 * pi.
    const double wavelength = 6.283185307179586 / f;
    const auto original = static_cast<double>(scaling.original_context);
    if (wavelength < original / scaling.high_freq_factor) return f;
    if (wavelength > original / scaling.low_freq_factor) return f / scaling.factor;
    const double s = (original / wavelength - scaling.low_freq_factor) /
                     (scaling.high_freq_factor - scaling.low_freq_factor);
    return (1.0 - s) * (f / scaling.factor) + s * f;
}

namespace {

bool validScaling(const RopeScalingSpec& scaling) {
    const auto positive = [](double x) { return std::isfinite(x) && x > 0.0; };
    switch (scaling.kind) {
        case RopeScalingKind::none:
            return true;
        case RopeScalingKind::linear:
            return positive(scaling.factor);
        case RopeScalingKind::llama3:
            return positive(scaling.factor) && positive(scaling.low_freq_factor) &&
                   std::isfinite(scaling.high_freq_factor) &&
                   scaling.high_freq_factor > scaling.low_freq_factor &&
                   scaling.original_context != 0;
    }
    return false;
}

}  // namespace

RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dim, double base,
                         std::uint64_t offset, const RopeScalingSpec& scaling) {
    RopeTable table;
    table.positions = positions;
    table.dim = dim;
    if (positions == 0 || dim == 0 || dim % 2 != 0) {
        throw std::invalid_argument("RoPE table dimensions must be positive and even");
    }
    if (!(std::isfinite(base) && base > 0.0)) {
        throw std::invalid_argument("RoPE base must be finite and positive");
    }
    if (!validScaling(scaling)) throw std::invalid_argument("RoPE scaling is invalid");
    const std::uint64_t pairs = dim / 2;
    // dim is even, so positions * dim / 2 == positions * pairs without the intermediate overflow.
    const std::optional<std::uint64_t> entry_count = detail::checkedProduct(positions, pairs);
    if (!entry_count || *entry_count > table.cos.max_size()) {
        throw std::length_error("vector too long");
    }
    const auto entries = static_cast<std::size_t>(*entry_count);
    table.cos.assign(entries, 0.0);
    table.sin.assign(entries, 0.0);
    const double width = static_cast<double>(dim);
    if (scaling.kind == RopeScalingKind::none) {
        for (std::uint64_t p = 0; p < positions; ++p) {
            const auto a = static_cast<double>(offset + p);
            for (std::uint64_t k = 0; k < pairs; ++k) {
                const double e = static_cast<double>(2 * k) / width;
                const double f = std::pow(base, e);
                const double theta = a / f;
                const auto entry = static_cast<std::size_t>(p * pairs + k);
                table.cos[entry] = std::cos(theta);
                table.sin[entry] = std::sin(theta);
            }
        }
        return table;
    }
    // Scaled tables work with inverse frequencies, as the scalings are defined: each pair's is
    // stretched once, and the angle is the position times it.
    std::vector<double> inverse(static_cast<std::size_t>(pairs));
    for (std::uint64_t k = 0; k < pairs; ++k) {
        const double e = static_cast<double>(2 * k) / width;
        inverse[k] = scaledInverseFrequency(1.0 / std::pow(base, e), scaling);
    }
    for (std::uint64_t p = 0; p < positions; ++p) {
        const auto a = static_cast<double>(offset + p);
        for (std::uint64_t k = 0; k < pairs; ++k) {
            const double theta = a * inverse[k];
            const auto entry = static_cast<std::size_t>(p * pairs + k);
            table.cos[entry] = std::cos(theta);
            table.sin[entry] = std::sin(theta);
        }
    }
    return table;
}

namespace {

// Entry (position, pair) of one of a table's columns. A table is a plain record, so its
// entries are checked against what they really hold as well as against its extents.
double tableEntry(const RopeTable& table, const std::vector<double>& entries,
                  std::uint64_t position, std::uint64_t pair) {
    const std::uint64_t pairs = table.dim / 2;
    if (position >= table.positions || pair >= pairs) throwTableIndex();
    const std::uint64_t entry = position * pairs + pair;
    if (entry >= entries.size()) throwTableIndex();
    return entries[static_cast<std::size_t>(entry)];
}

}  // namespace

double ropeCos(const RopeTable& table, std::uint64_t position, std::uint64_t pair) {
    return tableEntry(table, table.cos, position, pair);
}

double ropeSin(const RopeTable& table, std::uint64_t position, std::uint64_t pair) {
    return tableEntry(table, table.sin, position, pair);
}

void applyRopeTable(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t seq,
                    std::uint64_t query_heads, std::uint64_t kv_heads, const RopeTable& table,
                    bool double_precision) {
    const std::uint64_t head_dim = table.dim;
    if (table.positions < seq) {
        throw std::invalid_argument("RoPE table is shorter than the sequence");
    }
    const std::uint64_t rows = detail::expectedExtent(batch, seq);
    requireShape(query, {rows, detail::expectedExtent(query_heads, head_dim)}, "RoPE query");
    requireShape(key, {rows, detail::expectedExtent(kv_heads, head_dim)}, "RoPE key");
    // A table is a plain record: the entries a rotation would read are checked against what it
    // really holds before any is read.
    const std::uint64_t pairs = head_dim / 2;
    const bool reads = rows != 0 && (query_heads != 0 || kv_heads != 0) && head_dim != 0;
    if (reads &&
        (head_dim % 2 != 0 || table.cos.size() / pairs < seq || table.sin.size() / pairs < seq)) {
        throwTableIndex();
    }
    rotate(query, batch, seq, query_heads, table, double_precision);
    rotate(key, batch, seq, kv_heads, table, double_precision);
}

void applyRope(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t seq,
               std::uint64_t query_heads, std::uint64_t kv_heads, std::uint64_t head_dim,
               double base, std::uint64_t offset, bool double_precision) {
    const RopeTable table = buildRopeTable(seq, head_dim, base, offset);
    applyRopeTable(query, key, batch, seq, query_heads, kv_heads, table, double_precision);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
