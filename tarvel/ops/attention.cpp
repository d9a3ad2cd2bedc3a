#include "tarvel/ops/attention.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/value_check.hpp"

namespace Nuvexis::Core::Tarvel {

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths, bool double_precision) {
    if (query_heads == 0 || kv_heads == 0 || query_heads % kv_heads != 0) {
        throw std::invalid_argument("GQA query heads must be divisible by KV heads");
    }
    if (!lengths.empty() && lengths.size() != batch) {
        throw std::invalid_argument("attention lengths do not match batch");
    }
    const std::uint64_t rows = detail::expectedExtent(batch, seq);
    requireShape(query, {rows, detail::expectedExtent(query_heads, head_dim)}, "attention query");
    const std::uint64_t kv_width = detail::expectedExtent(kv_heads, head_dim);
    requireShape(key, {rows, kv_width}, "attention key");
    requireShape(value, {rows, kv_width}, "attention value");

    AttentionResult result{Tensor({batch, query_heads, seq, seq}, 0.0, double_precision),
                           Tensor({batch, query_heads, seq, seq}, 0.0, double_precision),
                           Tensor({rows, query_heads * head_dim}, 0.0, double_precision)};
    Tensor& scores = result.scores;
    Tensor& probabilities = result.probabilities;
    Tensor& output = result.output;

    const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
    const std::uint64_t group = query_heads / kv_heads;
    for (std::uint64_t b = 0; b < batch; ++b) {
        const std::uint64_t len = lengths.empty() ? seq : lengths[static_cast<std::size_t>(b)];
        if (len > seq) throw std::invalid_argument("attention length exceeds sequence");
        const std::uint64_t base = b * seq;
        for (std::uint64_t h = 0; h < query_heads; ++h) {
            const std::uint64_t g = h / group;
            const std::uint64_t qcol = h * head_dim;
            const std::uint64_t kvcol = g * head_dim;
            for (std::uint64_t i = 0; i < len; ++i) {
                double max = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    double dot = 0.0;
                    for (std::uint64_t d = 0; d < head_dim; ++d) {
                        dot =
                            dot + at(key, {base + j, kvcol + d}) * at(query, {base + i, qcol + d});
                    }
                    const double s = checkOperatorValue(dot * scale, double_precision);
                    at(scores, {b, h, i, j}) = s;
                    if (s > max) max = s;
                }
                // The softmax reads the scores as stored, rounded in reduced precision.
                double sum = 0.0;
                for (std::uint64_t j = 0; j <= i; ++j) {
                    sum = sum + std::exp(at(std::as_const(scores), {b, h, i, j}) - max);
                }
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const double p = checkOperatorValue(
                        std::exp(at(std::as_const(scores), {b, h, i, j}) - max) / sum,
                        double_precision);
                    at(probabilities, {b, h, i, j}) = p;
                    // Partial sums stay unchecked; the finished row is checked below.
                    for (std::uint64_t d = 0; d < head_dim; ++d) {
                        double& o = at(output, {base + i, qcol + d});
                        o = at(value, {base + j, kvcol + d}) * p + o;
                    }
                }
                for (std::uint64_t d = 0; d < head_dim; ++d) {
                    double& o = at(output, {base + i, qcol + d});
                    o = checkOperatorValue(o, double_precision);
                }
            }
        }
    }
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
