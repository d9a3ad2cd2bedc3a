#include "tarvel/ops/attention.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/attention_core.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths, bool double_precision) {
    return attention(query, key, value, batch, seq, query_heads, kv_heads, head_dim, lengths,
                     AttentionScoring{}, double_precision);
}

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths,
                          const AttentionScoring& scoring, bool double_precision) {
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
    const auto offOrPositive = [](double x) { return x == 0.0 || (std::isfinite(x) && x > 0.0); };
    if (!offOrPositive(scoring.score_scalar) || !offOrPositive(scoring.softcap)) {
        throw std::invalid_argument("attention scoring is invalid");
    }
    const detail::RowScoring row_scoring{detail::scoreScale(scoring.score_scalar, head_dim),
                                         scoring.softcap};

    AttentionResult result{Tensor({batch, query_heads, seq, seq}, 0.0, double_precision),
                           Tensor({batch, query_heads, seq, seq}, 0.0, double_precision),
                           Tensor({rows, query_heads * head_dim}, 0.0, double_precision)};
    Tensor& scores = result.scores;
    Tensor& probabilities = result.probabilities;
    Tensor& output = result.output;

    for (std::uint64_t b = 0; b < batch; ++b) {
        const std::uint64_t len = lengths.empty() ? seq : lengths[static_cast<std::size_t>(b)];
        if (len > seq) throw std::invalid_argument("attention length exceeds sequence");
    }
    // Sequences and heads are split over the threads; each piece allocates its own row scores
    // and their exponentials.
    const std::uint64_t group = query_heads / kv_heads;
    const std::uint64_t query_width = query_heads * head_dim;
    const auto attendHeads = [&](std::uint64_t begin, std::uint64_t end) TARVEL_ATTENTION_ROWS {
        std::vector<double> row_scores(static_cast<std::size_t>(seq));
        std::vector<double> exps(static_cast<std::size_t>(seq));
        for (std::uint64_t item = begin; item < end; ++item) {
            const std::uint64_t b = item / query_heads;
            const std::uint64_t h = item % query_heads;
            const std::uint64_t len = lengths.empty() ? seq : lengths[static_cast<std::size_t>(b)];
            const std::uint64_t base = b * seq;
            const std::uint64_t qcol = h * head_dim;
            const std::uint64_t kvcol = (h / group) * head_dim;
            for (std::uint64_t i = 0; i < len; ++i) {
                // Every row lies in storage: the shapes were demanded above.
                double* out_row = output.data.data() + (base + i) * query_width + qcol;
                const std::uint64_t first = detail::firstVisible(i + 1, scoring.window);
                detail::attendRow<checkOperatorValue, true>(
                    first, i + 1, head_dim, row_scoring, double_precision,
                    query.data.data() + (base + i) * query_width + qcol,
                    [&](std::uint64_t j) {
                        return key.data.data() + (base + j) * kv_width + kvcol;
                    },
                    [&](std::uint64_t j) {
                        return value.data.data() + (base + j) * kv_width + kvcol;
                    },
                    [&](std::uint64_t j, double p) {
                        at(probabilities, {b, h, i, j}) = p;
                    },
                    [&](std::uint64_t c, double x) { out_row[c] = x; }, row_scores.data(),
                    exps.data());
                for (std::uint64_t j = first; j <= i; ++j) {
                    at(scores, {b, h, i, j}) = row_scores[static_cast<std::size_t>(j)];
                }
            }
        }
    };
    // A head of a sequence is about seq^2 * head_dim multiply-adds.
    const std::uint64_t head_work = std::max<std::uint64_t>(seq * seq * head_dim, 1);
    detail::parallelFor(batch * query_heads,
                        std::max<std::uint64_t>((std::uint64_t{1} << 15) / head_work, 1),
                        attendHeads);
    return result;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
