#include "tarvel/model/detail/packed_weights.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

namespace {

// Visits the tensors of both forms side by side, in artifact order.
template <typename A, typename B, typename Fn>
void eachPair(A& a, B& b, Fn&& fn) {
    fn(a.token_embedding, b.token_embedding);
    for (std::size_t i = 0; i < a.layers.size(); ++i) {
        auto& x = a.layers[i];
        auto& y = b.layers[i];
        fn(x.attention_norm, y.attention_norm);
        fn(x.query, y.query);
        fn(x.key, y.key);
        fn(x.value, y.value);
        fn(x.attention_output, y.attention_output);
        fn(x.ffn_norm, y.ffn_norm);
        fn(x.ffn_gate, y.ffn_gate);
        fn(x.ffn_up, y.ffn_up);
        fn(x.ffn_down, y.ffn_down);
        fn(x.query_bias, y.query_bias);
        fn(x.key_bias, y.key_bias);
        fn(x.value_bias, y.value_bias);
        fn(x.output_bias, y.output_bias);
        fn(x.query_norm, y.query_norm);
        fn(x.key_norm, y.key_norm);
        fn(x.post_attention_norm, y.post_attention_norm);
        fn(x.post_ffn_norm, y.post_ffn_norm);
    }
    fn(a.final_norm, b.final_norm);
    fn(a.output_embedding, b.output_embedding);
}

}  // namespace

PackedWeights packWeights(const TransformerWeights& weights) {
    PackedWeights packed;
    packed.layers.resize(weights.layers.size());
    eachPair(weights, packed, [](const Tensor& from, PackedTensor& to) { to = packTensor(from); });
    return packed;
}

TransformerWeights unpackWeights(const PackedWeights& weights) {
    TransformerWeights plain;
    plain.layers.resize(weights.layers.size());
    eachPair(weights, plain, [](const PackedTensor& from, Tensor& to) { to = unpackTensor(from); });
    return plain;
}

std::uint64_t packedWeightBytes(const PackedWeights& weights) {
    std::uint64_t total = 0;
    const PackedWeights& same = weights;
    eachPair(weights, same,
             [&](const PackedTensor& tensor, const PackedTensor&) { total += tensor.bytes(); });
    return total;
}

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
