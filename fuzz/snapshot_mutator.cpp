#include "fuzz/snapshot_mutator.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "fuzz/catalogue.hpp"
#include "tests/support/snapshot_editor.hpp"

namespace tarvel_fuzz {

namespace {

using tarvel_test::EditableSnapshot;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

class Rng {
  public:
    explicit Rng(std::uint32_t seed) : engine_(seed) {}
    // Uniform in [0, n); n > 0.
    std::uint64_t below(std::uint64_t n) { return bits() % n; }
    bool oneIn(std::uint64_t n) { return below(n) == 0; }
    std::uint64_t bits() { return (std::uint64_t{engine_()} << 32) | engine_(); }

  private:
    std::mt19937 engine_;
};

// Values that sit on the edges of the checks: zero, one, neighbours, powers of two, the ends of
// the u32 and u64 ranges, and now and then anything at all.
std::uint64_t interesting(Rng& rng, std::uint64_t current) {
    switch (rng.below(11)) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return current + 1;
        case 3:
            return current - 1;
        case 4:
            return max_u64;
        case 5:
            return std::uint64_t{1} << rng.below(64);
        case 6:
            return 0xffffffffu;
        case 7:
            return rng.below(17);
        case 8:
            return current ^ (std::uint64_t{1} << rng.below(64));
        case 9:
            return current * 2;
        default:
            return rng.bits();
    }
}

double interestingValue(Rng& rng, double current) {
    switch (rng.below(14)) {
        case 0:
            return std::numeric_limits<double>::quiet_NaN();
        case 1:
            return std::numeric_limits<double>::infinity();
        case 2:
            return -std::numeric_limits<double>::infinity();
        case 3:
            return 1e300;
        case 4:
            return -1e300;
        case 5:
            return 1e39;  // finite, but beyond float32
        case 6:
            return static_cast<double>(std::numeric_limits<float>::max());
        case 7:
            return std::numeric_limits<double>::denorm_min();
        case 8:
            return -0.0;
        case 9:
            return 0.0;
        case 10:
            return current * 1e6;
        case 11:
            return std::nextafter(current, 1e308);
        case 12:
            return std::bit_cast<double>(rng.bits());
        default:
            return current * -1.0;
    }
}

bool rangeValid(const EditableSnapshot& s, const ArtifactTensorRecord& r) {
    return r.offset <= s.payload.size() && r.byte_count <= s.payload.size() - r.offset;
}

Bytes recordBytes(const EditableSnapshot& s, const ArtifactTensorRecord& r) {
    if (!rangeValid(s, r)) return {};
    const auto first = s.payload.begin() + static_cast<std::ptrdiff_t>(r.offset);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(r.byte_count));
}

bool allRangesValid(const EditableSnapshot& s) {
    for (const ArtifactTensorRecord& r : s.manifest.tensors) {
        if (!rangeValid(s, r)) return false;
    }
    return true;
}

// Lays the given record contents out back to back in table order, as a writer would.
void layOut(EditableSnapshot& s, const std::vector<Bytes>& contents) {
    s.payload.clear();
    for (std::size_t i = 0; i < contents.size(); ++i) {
        ArtifactTensorRecord& r = s.manifest.tensors[i];
        r.offset = s.payload.size();
        r.byte_count = contents[i].size();
        s.payload.insert(s.payload.end(), contents[i].begin(), contents[i].end());
    }
}

std::vector<Bytes> contentsOf(const EditableSnapshot& s) {
    std::vector<Bytes> contents;
    for (const ArtifactTensorRecord& r : s.manifest.tensors) contents.push_back(recordBytes(s, r));
    return contents;
}

const TransformerModel* modelOf(const EditableSnapshot& s) {
    for (const auto& model : catalogue().models) {
        if (specFingerprint(model->spec()) == s.manifest.spec_fingerprint) return model.get();
    }
    return nullptr;
}

std::optional<EditableSnapshot> parse(const Bytes& bytes) {
    if (bytes.size() < artifact_header_bytes) return std::nullopt;
    Bytes sealed = bytes;
    tarvel_test::resealChecksum(sealed);
    try {
        return tarvel_test::parseSnapshot(sealed);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

ArtifactTensorRecord* pickRecord(Rng& rng, EditableSnapshot& s) {
    if (s.manifest.tensors.empty()) return nullptr;
    return &s.manifest.tensors[rng.below(s.manifest.tensors.size())];
}

void editTail(Rng& rng, EditableSnapshot& s) {
    std::uint64_t* fields[] = {&s.position,      &s.tag,          &s.aux,
                               &s.token_count,   &s.state_length, &s.model_checksum,
                               &s.numeric_policy};
    const std::uint64_t which = rng.below(8);
    if (which == 7) {
        s.cache_count = static_cast<std::uint32_t>(interesting(rng, s.cache_count));
        return;
    }
    std::uint64_t& field = *fields[which];
    // Agreeing with a neighbouring field gets past one check to the next.
    if (rng.oneIn(4)) {
        field = rng.oneIn(2) ? s.token_count : s.position;
    } else {
        field = interesting(rng, field);
    }
}

void editBinding(Rng& rng, EditableSnapshot& s) {
    const auto& models = catalogue().models;
    const TransformerModel& other = *models[rng.below(models.size())];
    switch (rng.below(4)) {
        case 0:
            s.model_checksum = rng.oneIn(2) ? other.artifact_checksum() : s.model_checksum ^ 1;
            break;
        case 1:
            s.numeric_policy = rng.oneIn(2) ? specFingerprint(other.spec()) : s.numeric_policy ^ 1;
            break;
        case 2:
            s.manifest.spec_fingerprint = specFingerprint(other.spec());
            break;
        default:
            // Take on another model's whole binding, so the state meets a model it was not
            // made for.
            s.manifest.spec_fingerprint = specFingerprint(other.spec());
            s.numeric_policy = s.manifest.spec_fingerprint;
            s.model_checksum = other.artifact_checksum();
            s.manifest.tokenizer_identity = other.tokenizer_identity();
            break;
    }
}

void editIdentity(Rng& rng, EditableSnapshot& s) {
    switch (rng.below(5)) {
        case 0:
            s.manifest.tokenizer_identity.reset();
            break;
        case 1:
            s.manifest.tokenizer_identity = "";
            break;
        case 2:
            s.manifest.tokenizer_identity = "tok-v1";
            break;
        case 3:
            s.manifest.tokenizer_identity = "tok-v2";
            break;
        default:
            s.manifest.tokenizer_identity = std::string(1 + rng.below(4), 'x');
            break;
    }
}

void editName(Rng& rng, EditableSnapshot& s) {
    ArtifactTensorRecord* r = pickRecord(rng, s);
    if (r == nullptr) return;
    switch (rng.below(8)) {
        case 0:
            r->name = "input_tokens";
            break;
        case 1:
            r->name = "tokenizer_state";
            break;
        case 2:
            r->name = "kv." + std::to_string(rng.below(8));
            break;
        case 3:
            r->name = "kv.0" + std::to_string(rng.below(8));
            break;
        case 4:
            r->name.clear();
            break;
        case 5:
            r->name = pickRecord(rng, s)->name;
            break;
        case 6:
            r->name += static_cast<char>(rng.below(256));
            break;
        default:
            r->name = "KV.0";
            break;
    }
}

// A new shape; half the time the record's bytes follow it, so that only the shape's meaning
// is wrong and not its byte count.
void editShape(Rng& rng, EditableSnapshot& s) {
    if (s.manifest.tensors.empty()) return;
    const std::size_t index = rng.below(s.manifest.tensors.size());
    ArtifactTensorRecord& r = s.manifest.tensors[index];
    switch (rng.below(4)) {
        case 0:
            r.shape.push_back(rng.oneIn(2) ? 1 : interesting(rng, 1));
            break;
        case 1:
            if (!r.shape.empty()) r.shape.pop_back();
            break;
        default:
            if (!r.shape.empty()) {
                std::uint64_t& extent = r.shape[rng.below(r.shape.size())];
                extent = rng.oneIn(2) ? extent + rng.below(3) - 1 : interesting(rng, extent);
            }
            break;
    }
    if (!rng.oneIn(2) || !allRangesValid(s)) return;
    const std::uint64_t size = r.dtype == 1 ? 8 : r.dtype == 2 ? 4 : 1;
    std::uint64_t bytes = size;
    for (const std::uint64_t extent : r.shape) {
        if (__builtin_mul_overflow(bytes, extent, &bytes)) return;
    }
    if (bytes > 4096) return;
    std::vector<Bytes> contents = contentsOf(s);
    contents[index].resize(static_cast<std::size_t>(bytes), static_cast<std::uint8_t>(rng.bits()));
    layOut(s, contents);
}

void editRange(Rng& rng, EditableSnapshot& s) {
    ArtifactTensorRecord* r = pickRecord(rng, s);
    if (r == nullptr) return;
    if (rng.oneIn(2)) {
        r->offset = rng.oneIn(3) ? pickRecord(rng, s)->offset : interesting(rng, r->offset);
    } else {
        r->byte_count = interesting(rng, r->byte_count);
    }
}

void editTable(Rng& rng, EditableSnapshot& s) {
    auto& records = s.manifest.tensors;
    if (records.empty()) return;
    const std::size_t a = rng.below(records.size());
    const std::size_t b = rng.below(records.size());
    switch (rng.below(4)) {
        case 0:
            std::swap(records[a], records[b]);
            break;
        case 1:
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(a));
            break;
        case 2:
            records.push_back(records[a]);
            break;
        default:
            records[a].dtype = static_cast<std::uint8_t>(rng.below(5));
            break;
    }
}

// Writes `value` over the record's element `index` of width `width`, in place in the payload.
void poke(EditableSnapshot& s, const ArtifactTensorRecord& r, std::uint64_t index, int width,
          std::uint64_t value) {
    const auto bytes = static_cast<std::size_t>(width);
    storeLittleEndian(s.payload.data() + static_cast<std::size_t>(r.offset) + index * bytes, value,
                      bytes);
}

void editToken(Rng& rng, EditableSnapshot& s) {
    if (s.manifest.tensors.empty()) return;
    const ArtifactTensorRecord& r = s.manifest.tensors[0];
    if (!rangeValid(s, r) || r.byte_count < 4) return;
    const TransformerModel* model = modelOf(s);
    const std::uint64_t vocabulary = model != nullptr ? model->spec().vocabulary : 11;
    const std::uint64_t choices[] = {0,           vocabulary - 1, vocabulary, vocabulary + 1,
                                     0xffffffffu, rng.below(16)};
    poke(s, r, rng.below(r.byte_count / 4), 4, choices[rng.below(6)]);
}

void editCacheValue(Rng& rng, EditableSnapshot& s) {
    if (s.manifest.tensors.size() < 3) return;
    const ArtifactTensorRecord& r =
        s.manifest.tensors[2 + rng.below(s.manifest.tensors.size() - 2)];
    if (!rangeValid(s, r) || r.byte_count < 8) return;
    const std::uint64_t index = rng.below(r.byte_count / 8);
    const std::uint64_t old =
        loadLittleEndian(s.payload.data() + static_cast<std::size_t>(r.offset + 8 * index), 8);
    poke(s, r, index, 8,
         std::bit_cast<std::uint64_t>(interestingValue(rng, std::bit_cast<double>(old))));
}

// Tokenizer state of another length, with the record and the tail field following along.
void editState(Rng& rng, EditableSnapshot& s) {
    if (s.manifest.tensors.size() < 2 || !allRangesValid(s)) return;
    std::vector<Bytes> contents = contentsOf(s);
    Bytes& state = contents[1];
    const std::uint64_t length = rng.oneIn(4) ? 0 : rng.below(20);
    state.resize(static_cast<std::size_t>(length), static_cast<std::uint8_t>(rng.bits()));
    if (!state.empty()) state[rng.below(state.size())] = static_cast<std::uint8_t>(rng.bits());
    s.manifest.tensors[1].shape = {length};
    s.state_length = length;
    layOut(s, contents);
}

// Drops the last positions of a consistent session: tokens, cache rows and position together,
// which gives another valid state to build on.
void shorten(Rng& rng, EditableSnapshot& s) {
    auto& records = s.manifest.tensors;
    if (s.position == 0 || s.token_count != s.position || records.size() != s.cache_count + 2 ||
        !allRangesValid(s) || records[0].byte_count / 4 != s.token_count) {
        return;  // only a session whose sizes agree with its bytes, which bound them
    }
    for (std::size_t j = 2; j < records.size(); ++j) {
        const std::vector<std::uint64_t>& shape = records[j].shape;
        if (shape.size() != 4 || shape[0] != 1 || shape[1] != s.position) return;
        std::uint64_t bytes = 8;
        for (const std::uint64_t extent : shape) {
            if (__builtin_mul_overflow(bytes, extent, &bytes)) return;
        }
        if (bytes != records[j].byte_count) return;
    }
    const std::uint64_t keep = rng.below(s.position);
    std::vector<Bytes> contents = contentsOf(s);
    contents[0].resize(static_cast<std::size_t>(4 * keep));
    records[0].shape = {keep};
    for (std::size_t j = 2; j < records.size(); ++j) {
        const std::uint64_t row = 8 * records[j].shape[2] * records[j].shape[3];
        contents[j].resize(static_cast<std::size_t>(row * keep));
        records[j].shape[1] = keep;
    }
    if (keep == 0) {  // a fresh session holds no cache
        records.resize(2);
        contents.resize(2);
        s.cache_count = 0;
    }
    s.position = keep;
    s.token_count = keep;
    layOut(s, contents);
}

// Bytes that belong to nothing: after the tail, between tensors or after the last one.
void addSlack(Rng& rng, EditableSnapshot& s) {
    const std::size_t count = 1 + rng.below(8);
    if (rng.oneIn(3)) {
        if (!s.trailing.empty() && rng.oneIn(2)) {
            s.trailing.clear();
        } else {
            s.trailing.resize(s.trailing.size() + count, static_cast<std::uint8_t>(rng.bits()));
        }
        return;
    }
    const std::uint64_t at = rng.oneIn(2) ? s.payload.size() : rng.below(s.payload.size() + 1);
    s.payload.insert(s.payload.begin() + static_cast<std::ptrdiff_t>(at), count,
                     static_cast<std::uint8_t>(rng.bits()));
    for (ArtifactTensorRecord& r : s.manifest.tensors) {
        if (r.offset >= at && r.offset <= s.payload.size()) r.offset += count;
    }
}

// One more cache tensor: a copy of another record's shape and bytes, or a small new one.
void addCacheRecord(Rng& rng, EditableSnapshot& s) {
    ArtifactTensorRecord record;
    record.name =
        "kv." + std::to_string(s.manifest.tensors.size() >= 2 ? s.manifest.tensors.size() - 2
                                                              : rng.below(4));
    record.dtype = 1;
    Bytes content;
    if (s.manifest.tensors.size() > 2 && !rng.oneIn(3)) {
        const ArtifactTensorRecord& model =
            s.manifest.tensors[2 + rng.below(s.manifest.tensors.size() - 2)];
        record.shape = model.shape;
        content = recordBytes(s, model);
    } else {
        record.shape = {1, 1 + rng.below(3), 1 + rng.below(2), 2};
        content.resize(static_cast<std::size_t>(8 * record.shape[1] * record.shape[2] * 2));
        for (std::uint8_t& byte : content) byte = static_cast<std::uint8_t>(rng.below(4));
    }
    record.offset = s.payload.size();
    record.byte_count = content.size();
    s.payload.insert(s.payload.end(), content.begin(), content.end());
    s.manifest.tensors.push_back(record);
    if (!rng.oneIn(4)) ++s.cache_count;
}

}  // namespace

std::vector<std::uint8_t> mutateSnapshot(const std::vector<std::uint8_t>& input,
                                         std::uint32_t seed) {
    Rng rng(seed);
    std::optional<EditableSnapshot> parsed = parse(input);
    if (!parsed || rng.oneIn(64)) {
        const auto& seeds = catalogue().snapshots;
        parsed = tarvel_test::parseSnapshot(seeds[rng.below(seeds.size())].bytes);
    }
    EditableSnapshot& s = *parsed;

    const std::uint64_t edits = 1 + rng.below(3);
    for (std::uint64_t e = 0; e < edits; ++e) {
        switch (rng.below(15)) {
            case 0:
                editTail(rng, s);
                break;
            case 1:
                editBinding(rng, s);
                break;
            case 2:
                editIdentity(rng, s);
                break;
            case 3:
                editName(rng, s);
                break;
            case 4:
                editShape(rng, s);
                break;
            case 5:
                editRange(rng, s);
                break;
            case 6:
                editTable(rng, s);
                break;
            case 7:
            case 8:
                editToken(rng, s);
                break;
            case 9:
            case 10:
                editCacheValue(rng, s);
                break;
            case 11:
                editState(rng, s);
                break;
            case 12:
                shorten(rng, s);
                break;
            case 13:
                addSlack(rng, s);
                break;
            default:
                addCacheRecord(rng, s);
                break;
        }
    }

    // Now and then a stale tensor checksum, a raw byte or a stale global checksum, so that the
    // checks in front of the wall stay covered too.
    Bytes out = tarvel_test::buildSnapshot(s, !rng.oneIn(16));
    if (rng.oneIn(16)) {
        out[artifact_header_bytes + rng.below(out.size() - artifact_header_bytes)] =
            static_cast<std::uint8_t>(rng.bits());
        tarvel_test::resealChecksum(out);
    }
    if (rng.oneIn(64)) out[32 + rng.below(8)] ^= 1;
    return out;
}

}  // namespace tarvel_fuzz
