#include "tarvel/kv/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/format/artifact_error.hpp"
#include "tarvel/format/layout.hpp"
#include "tarvel/kv/detail/snapshot_tail.hpp"
#include "tarvel/spec/fingerprint.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

[[noreturn]] void refuse(ArtifactErrorKind kind, const char* message) {
    throw ArtifactError(kind, message);
}

std::string cacheName(std::size_t index) {
    return "kv." + std::to_string(index);
}

// The record's bytes, after validateTensorTable has put them inside the payload.
const std::uint8_t* recordBytes(const std::vector<std::uint8_t>& bytes,
                                const ArtifactHeader& header, const ArtifactTensorRecord& record) {
    return bytes.data() + static_cast<std::size_t>(header.payload_offset + record.offset);
}

// Every record's checksum of its bytes, computed side by side; each is compared with its record
// at its own step of the restore.
std::vector<std::uint64_t> recordChecksums(const std::vector<std::uint8_t>& bytes,
                                           const ArtifactHeader& header,
                                           const std::vector<ArtifactTensorRecord>& records) {
    std::vector<ByteRange> ranges(records.size());
    for (std::size_t j = 0; j < records.size(); ++j) {
        ranges[j] = {recordBytes(bytes, header, records[j]),
                     static_cast<std::size_t>(records[j].byte_count)};
    }
    std::vector<std::uint64_t> checksums(records.size());
    checksum64Each(ranges, checksums);
    return checksums;
}

}  // namespace

namespace detail {

SnapshotTail readSnapshotTail(ArtifactReader& reader) {
    SnapshotTail tail;
    tail.model_checksum = readU64(reader);
    tail.numeric_policy = readU64(reader);
    tail.position = readU64(reader);
    tail.tag = readU64(reader);
    tail.aux = readU64(reader);
    tail.token_count = readU64(reader);
    tail.state_length = readU64(reader);
    tail.cache_count = readU32(reader);
    return tail;
}

void writeSnapshotTail(ByteBuffer& out, const SnapshotTail& tail) {
    writeU64(out, tail.model_checksum);
    writeU64(out, tail.numeric_policy);
    writeU64(out, tail.position);
    writeU64(out, tail.tag);
    writeU64(out, tail.aux);
    writeU64(out, tail.token_count);
    writeU64(out, tail.state_length);
    writeU32(out, tail.cache_count);
}

}  // namespace detail

std::vector<std::uint8_t> saveSnapshot(const TransformerKvSession& session) {
    const TransformerModel& model = *session.model();
    const std::vector<std::uint32_t>& tokens = session.token_prefix();
    const std::vector<std::uint8_t>& state = session.tokenizer_state();
    const std::vector<Tensor>& cache = session.cache();

    std::uint64_t payload_size = 4 * tokens.size() + state.size();
    for (const Tensor& tensor : cache) payload_size += 8 * tensor.data.size();
    std::vector<ArtifactTensorRecord> records(2 + cache.size());
    records[0].name = "input_tokens";
    records[0].dtype = static_cast<std::uint8_t>(ArtifactDType::UInt32);
    records[0].shape = {tokens.size()};
    records[1].name = "tokenizer_state";
    records[1].dtype = static_cast<std::uint8_t>(ArtifactDType::Bytes);
    records[1].shape = {state.size()};
    for (std::size_t j = 0; j < cache.size(); ++j) {
        records[2 + j].name = cacheName(j);
        records[2 + j].dtype = static_cast<std::uint8_t>(ArtifactDType::Float64);
        records[2 + j].shape = cache[j].shape;
    }

    // The numeric policy is the fingerprint again, kept as a field of its own.
    const std::uint64_t fingerprint = specFingerprint(model.spec());
    ByteBuffer tail;
    detail::writeSnapshotTail(
        tail, detail::SnapshotTail{model.artifact_checksum(), fingerprint, session.position(),
                                   session.tag(), session.aux(), tokens.size(), state.size(),
                                   static_cast<std::uint32_t>(cache.size())});
    return writeArtifactInPlace(snapshot_magic, records, fingerprint, model.tokenizer_identity(),
                                tail, payload_size, [&](std::size_t j, ByteBuffer& file) {
                                    if (j == 0) {
                                        writeU32s(file, tokens);
                                    } else if (j == 1) {
                                        writeBytes(file, state.data(), state.size());
                                    } else {
                                        writeF64s(file, cache[j - 2].data);
                                    }
                                });
}

namespace {

// A snapshot file read as far as its manifest: the container's header, the manifest's shared
// prefix and the session fields that end it.
struct SnapshotFile {
    ArtifactHeader header;
    ArtifactManifest manifest;
    detail::SnapshotTail tail;
};

// The state a restore commits, built in fresh storage.
struct RestoredState {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint8_t> tokenizer_state;
    std::vector<Tensor> cache;
};

SnapshotFile readSnapshotFile(const std::vector<std::uint8_t>& bytes,
                              const ArtifactLimits& limits) {
    SnapshotFile file;
    file.header = readArtifactHeader(bytes, snapshot_magic, limits);
    ArtifactReader reader{bytes, artifact_header_bytes, file.header.payload_offset};
    file.manifest = readArtifactManifest(reader, limits);
    file.tail = detail::readSnapshotTail(reader);
    if (reader.next != reader.limit) {
        refuse(ArtifactErrorKind::corrupt_bytes, "session manifest has trailing bytes");
    }
    return file;
}

// The snapshot was made by this model (spec, weights, tokenizer) under its numeric policy.
void checkBinding(const SnapshotFile& file, const TransformerModel& model,
                  std::uint64_t fingerprint) {
    if (file.manifest.spec_fingerprint != fingerprint) {
        refuse(ArtifactErrorKind::model_mismatch, "session model mismatch");
    }
    if (file.tail.model_checksum != model.artifact_checksum()) {
        refuse(ArtifactErrorKind::model_mismatch, "session model mismatch");
    }
    // std::optional compares presence first, then the strings byte for byte.
    if (file.manifest.tokenizer_identity != model.tokenizer_identity()) {
        refuse(ArtifactErrorKind::model_mismatch, "session tokenizer mismatch");
    }
    if (file.tail.numeric_policy != fingerprint) {
        refuse(ArtifactErrorKind::model_mismatch, "session numeric policy mismatch");
    }
}

// The session fields fit the model's context and the caller's limits.
void checkSessionBounds(const detail::SnapshotTail& tail, const TransformerModel& model,
                        const ArtifactLimits& limits) {
    const TransformerSpec& spec = model.spec();
    if (tail.token_count > limits.max_input_tokens || tail.token_count > spec.context ||
        tail.position > spec.context || tail.state_length > limits.max_tokenizer_state_bytes ||
        tail.cache_count > limits.max_tensor_count) {
        refuse(ArtifactErrorKind::limit_exceeded, "session state exceeds configured limit");
    }
    if (tail.state_length != 0 && !model.tokenizer_identity()) {
        refuse(ArtifactErrorKind::model_mismatch, "unbound session contains tokenizer state");
    }
}

// The table holds the input tokens, then the tokenizer state, then the cache, as the tail says.
void checkRecordLayout(const std::vector<ArtifactTensorRecord>& records,
                       const detail::SnapshotTail& tail) {
    // cache_count is bounded by max_tensor_count (a u32), so the sum cannot overflow.
    if (records.size() != std::uint64_t{tail.cache_count} + 2 ||
        records[0].name != "input_tokens" ||
        records[0].dtype != static_cast<std::uint8_t>(ArtifactDType::UInt32) ||
        records[0].shape != std::vector<std::uint64_t>{tail.token_count} ||
        records[0].byte_count != 4 * tail.token_count) {
        refuse(ArtifactErrorKind::corrupt_bytes, "session input manifest mismatch");
    }
    const ArtifactTensorRecord& state_record = records[1];
    if (state_record.name != "tokenizer_state" ||
        state_record.dtype != static_cast<std::uint8_t>(ArtifactDType::Bytes) ||
        state_record.shape != std::vector<std::uint64_t>{tail.state_length} ||
        state_record.byte_count != tail.state_length) {
        refuse(ArtifactErrorKind::corrupt_bytes, "session tokenizer state manifest mismatch");
    }
}

// Reads the records' bytes, each after its checksum, into fresh storage. The table check put
// every record's bytes inside the payload, and the layout check fixed the first two records.
RestoredState readState(const std::vector<std::uint8_t>& bytes, const SnapshotFile& file,
                        const TransformerSpec& spec, const ArtifactLimits& limits) {
    const std::vector<ArtifactTensorRecord>& records = file.manifest.tensors;
    const detail::SnapshotTail& tail = file.tail;
    const std::vector<std::uint64_t> checksums = recordChecksums(bytes, file.header, records);
    RestoredState state;

    if (checksums[0] != records[0].checksum) {
        refuse(ArtifactErrorKind::corrupt_bytes, "session input checksum mismatch");
    }
    // The count is bounded by the spec's context and its bytes lie inside the file.
    state.tokens.resize(static_cast<std::size_t>(tail.token_count));
    const std::uint8_t* token_bytes = recordBytes(bytes, file.header, records[0]);
    for (std::size_t i = 0; i < state.tokens.size(); ++i) {
        state.tokens[i] = static_cast<std::uint32_t>(loadLittleEndian(token_bytes + 4 * i, 4));
        if (state.tokens[i] >= spec.vocabulary) {
            refuse(ArtifactErrorKind::corrupt_bytes, "session token exceeds vocabulary");
        }
    }

    if (checksums[1] != records[1].checksum) {
        refuse(ArtifactErrorKind::corrupt_bytes, "session tokenizer state checksum mismatch");
    }
    const std::uint8_t* state_bytes = recordBytes(bytes, file.header, records[1]);
    state.tokenizer_state.assign(state_bytes,
                                 state_bytes + static_cast<std::size_t>(tail.state_length));

    state.cache.reserve(tail.cache_count);
    std::uint64_t cache_bytes = 0;
    for (std::size_t j = 0; j < tail.cache_count; ++j) {
        const ArtifactTensorRecord& record = records[2 + j];
        if (record.name != cacheName(j) ||
            record.dtype != static_cast<std::uint8_t>(ArtifactDType::Float64)) {
            refuse(ArtifactErrorKind::corrupt_bytes, "session cache identity mismatch");
        }
        cache_bytes = checkedAdd(cache_bytes, record.byte_count);
        if (cache_bytes > limits.max_snapshot_cache_bytes) {
            refuse(ArtifactErrorKind::limit_exceeded, "session cache exceeds limit");
        }
        // The table check tied the element count to byte_count, which the limits bound.
        Tensor tensor(record.shape, 0.0, true);
        if (checksums[2 + j] != record.checksum) {
            refuse(ArtifactErrorKind::corrupt_bytes, "session cache checksum mismatch");
        }
        const std::uint8_t* values = recordBytes(bytes, file.header, record);
        for (std::size_t i = 0; i < tensor.data.size(); ++i) {
            const double value = std::bit_cast<double>(loadLittleEndian(values + 8 * i, 8));
            if (!std::isfinite(value)) {
                refuse(ArtifactErrorKind::corrupt_bytes, "session cache contains NaN/Inf");
            }
            tensor.data[i] = value;
        }
        state.cache.push_back(std::move(tensor));
    }
    return state;
}

}  // namespace

void restoreSnapshot(TransformerKvSession& session, const std::vector<std::uint8_t>& bytes,
                     const ArtifactLimits& limits) {
    session.refuseDuringStep();
    const TransformerModel& model = *session.model();
    const SnapshotFile file = readSnapshotFile(bytes, limits);
    checkBinding(file, model, specFingerprint(model.spec()));
    checkSessionBounds(file.tail, model, limits);
    validateTensorTable(file.manifest.tensors, file.header.payload_bytes, limits);
    checkRecordLayout(file.manifest.tensors, file.tail);
    RestoredState state = readState(bytes, file, model.spec(), limits);

    // Commit: plain assignments and moves only.
    session.position_ = file.tail.position;
    session.tag_ = file.tail.tag != 0 ? file.tail.tag : 1;
    session.aux_ = file.tail.aux;
    session.token_prefix_ = std::move(state.tokens);
    session.tokenizer_state_ = std::move(state.tokenizer_state);
    session.cache_ = std::move(state.cache);
}

ArtifactLimits snapshotLimits(const TransformerModel& model,
                              std::uint64_t max_tokenizer_state_bytes) {
    const auto mul = detail::saturatingProduct;
    const auto add = detail::saturatingSum;
    const TransformerSpec& spec = model.spec();
    const std::uint64_t context = spec.context;
    const std::uint64_t cache_tensors = mul(2, spec.layers);
    // A full session's key or value tensor of one layer: {1, context, kv_heads, head_dim} f64.
    const std::uint64_t cache_tensor_bytes =
        mul(8, mul(context, mul(spec.kv_heads, spec.head_dim)));

    // The manifest: fingerprint, binding flag, identity, tensor count, the records, and the
    // session fields (seven u64 and the u32 cache count) that end it. A record is its name (u32
    // length and bytes), dtype (u8), rank (u32), extents (u64 each), offset, byte count and
    // checksum (u64 each).
    const auto record = [&](std::uint64_t name_bytes, std::uint64_t rank) {
        return add(add(4, name_bytes), add(1 + 4 + 3 * 8, mul(8, rank)));
    };
    std::uint64_t manifest = 8 + 1 + 4 + 7 * 8 + 4;
    if (const auto& identity = model.tokenizer_identity()) {
        manifest = add(manifest, add(4, identity->size()));
    }
    manifest = add(manifest, add(record(12, 1), record(15, 1)));  // input_tokens, tokenizer_state
    // Cache records are named "kv." and the decimal index: indices [start, end) have `digits`
    // digits each.
    std::uint64_t name_digits = 0;
    for (std::uint64_t start = 0, end = 10, digits = 1; start < cache_tensors; ++digits) {
        const std::uint64_t stop = std::min(end, cache_tensors);
        name_digits = add(name_digits, mul(digits, stop - start));
        start = stop;
        end = mul(end, 10);
    }
    manifest = add(manifest, add(mul(cache_tensors, record(3, 4)), name_digits));

    ArtifactLimits limits;
    limits.max_manifest_bytes = manifest;
    limits.max_tensor_count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(add(2, cache_tensors), std::numeric_limits<std::uint32_t>::max()));
    limits.max_tensor_rank = 4;
    limits.max_input_tokens = context;
    limits.max_tokenizer_state_bytes = max_tokenizer_state_bytes;
    limits.max_snapshot_cache_bytes = mul(cache_tensors, cache_tensor_bytes);
    limits.max_tensor_bytes =
        std::max({cache_tensor_bytes, mul(4, context), max_tokenizer_state_bytes});
    const std::uint64_t payload =
        add(add(mul(4, context), max_tokenizer_state_bytes), limits.max_snapshot_cache_bytes);
    limits.max_file_bytes = add(add(artifact_header_bytes, manifest), payload);
    return limits;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
