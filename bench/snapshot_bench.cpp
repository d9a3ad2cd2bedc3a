#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"
#include "tarvel/kv/detail/snapshot_tail.hpp"

namespace tarvel_bench {
namespace {

const ArtifactLimits limits{1073741824, 16777216, 536870912, 100000,
                            8,          1048576,  1048576,   536870912};

// A session of the 6-KV-head model filled to position 256, in chunks of 64.
struct FullSession {
    std::shared_ptr<const TransformerModel> model = benchModel(6);
    TransformerKvSession session{model, 1};

    FullSession() {
        const std::vector<std::uint32_t> tokens = benchTokens(256, model->spec().vocabulary);
        for (std::size_t first = 0; first < tokens.size(); first += 64) {
            const std::vector<std::uint32_t> chunk(tokens.begin() + static_cast<long>(first),
                                                   tokens.begin() + static_cast<long>(first + 64));
            (void)forwardCached(Conformance::fixtureBatch(chunk), session, {});
        }
    }
};

FullSession& fullSession() {
    static FullSession full;
    return full;
}

// What the format itself demands of a save or a restore: one global checksum pass over the
// file and one pass over every tensor's bytes, which lie back to back in the payload.
void requiredChecksums(const std::vector<std::uint8_t>& file) {
    ArtifactReader lengths{file, 16, 32};
    const std::uint64_t manifest_bytes = readU64(lengths);
    const std::uint64_t payload_bytes = readU64(lengths);
    benchmark::DoNotOptimize(artifactGlobalChecksum(file));
    benchmark::DoNotOptimize(checksum64(file.data() + artifact_header_bytes + manifest_bytes,
                                        static_cast<std::size_t>(payload_bytes)));
}

double secondsOf(std::uint64_t times, const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < times; ++i) work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reports the operation's time against that of the checksum passes over the same bytes, timed
// in the same run.
void reportAgainstChecksums(benchmark::State& state, double seconds,
                            const std::vector<std::uint8_t>& file) {
    const auto times = static_cast<std::uint64_t>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(file.size() * times));
    const double required = secondsOf(times, [&] { requiredChecksums(file); });
    state.counters["vs_checksums"] = seconds / required;
    state.counters["snapshot_MiB"] = static_cast<double>(file.size()) / (1024.0 * 1024.0);
}

void snapshotSave(benchmark::State& state) {
    const TransformerKvSession& session = fullSession().session;
    std::vector<std::uint8_t> file;
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        file = saveSnapshot(session);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    reportAgainstChecksums(state, seconds, file);
}
BENCHMARK(snapshotSave)->Unit(benchmark::kMillisecond)->UseRealTime();

void snapshotRestore(benchmark::State& state) {
    FullSession& full = fullSession();
    const std::vector<std::uint8_t> file = saveSnapshot(full.session);
    TransformerKvSession target(full.model, 1);
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        restoreSnapshot(target, file, limits);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    reportAgainstChecksums(state, seconds, file);
}
BENCHMARK(snapshotRestore)->Unit(benchmark::kMillisecond)->UseRealTime();

// A well-formed snapshot of a fresh session whose table holds `count` records: the two session
// records and count - 2 empty cache records. Every name is distinct, so the table check must
// compare them all; the first empty cache tensor then refuses the restore.
std::vector<std::uint8_t> manyRecordSnapshot(const TransformerModel& model, std::uint32_t count) {
    std::vector<ArtifactTensorRecord> records(count);
    records[0] = {"input_tokens", static_cast<std::uint8_t>(ArtifactDType::UInt32), {0}, 0, 0, 0};
    records[1] = {"tokenizer_state", static_cast<std::uint8_t>(ArtifactDType::Bytes), {0}, 0, 0, 0};
    for (std::uint32_t j = 2; j < count; ++j) {
        records[j] = {"kv." + std::to_string(j - 2),
                      static_cast<std::uint8_t>(ArtifactDType::Float64),
                      {0},
                      0,
                      0,
                      0};
    }
    const std::uint64_t empty_checksum = checksum64(nullptr, 0);
    for (ArtifactTensorRecord& record : records) record.checksum = empty_checksum;
    const std::uint64_t fingerprint = specFingerprint(model.spec());
    ByteBuffer manifest = writeManifest(records, fingerprint, model.tokenizer_identity());
    detail::writeSnapshotTail(manifest, detail::SnapshotTail{model.artifact_checksum(), fingerprint,
                                                             0, 1, 0, 0, 0, count - 2});
    return writeArtifact(snapshot_magic, manifest, {});
}

// The restore of a 100,000-record table, the most the permissive limits admit.
void snapshotRestoreManyRecords(benchmark::State& state) {
    const auto model = Conformance::fixtureModel(Conformance::fixtureSpec(false, 2), 1.0);
    const std::vector<std::uint8_t> file = manyRecordSnapshot(*model, 100000);
    TransformerKvSession target(model, 1);
    for (auto _ : state) {
        try {
            restoreSnapshot(target, file, limits);
            state.SkipWithError("the restore was expected to be refused");
        } catch (const std::invalid_argument&) {
        }
    }
    state.counters["snapshot_MiB"] = static_cast<double>(file.size()) / (1024.0 * 1024.0);
}
BENCHMARK(snapshotRestoreManyRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

// checksum64 alone over the snapshot's bytes: the price of one pass.
void snapshotChecksum(benchmark::State& state) {
    const std::vector<std::uint8_t> file = saveSnapshot(fullSession().session);
    for (auto _ : state) benchmark::DoNotOptimize(checksum64(file.data(), file.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(file.size()) * state.iterations());
}
BENCHMARK(snapshotChecksum)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
