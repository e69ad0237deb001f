// Throughput of the block codecs over the four images an update writes
// (15.6 MB), in the 4,096-byte blocks the engine sends them in.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/images.hpp"
#include "protocol/codecs.hpp"

namespace {

using namespace ql5;

std::int64_t writtenBytes() {
    std::int64_t total = 0;
    for (const auto& row : engine::FlashPlan) {
        if (row.operation == engine::kOperationWrite) {
            total += engine::loadImage(row.resourceId).length;
        }
    }
    return total;
}

template <typename Fn>
void forEachBlock(Fn&& fn) {
    for (const auto& row : engine::FlashPlan) {
        if (row.operation != engine::kOperationWrite) {
            continue;
        }
        const engine::ImageBytes img = engine::loadImage(row.resourceId);
        for (std::int32_t off = 0; off < img.length; off += engine::kBlockSize) {
            const std::int32_t len =
                img.length - off < engine::kBlockSize ? img.length - off : engine::kBlockSize;
            fn(img.data + off, len);
        }
    }
}

void BM_Pack7in8(benchmark::State& state) {
    std::vector<std::uint8_t> out(
        static_cast<std::size_t>(protocol::packedLength(engine::kBlockSize)));
    for (auto _ : state) {
        forEachBlock([&](const std::uint8_t* p, std::int32_t n) {
            benchmark::DoNotOptimize(protocol::pack7in8(out.data(), p, n));
        });
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * writtenBytes());
}
BENCHMARK(BM_Pack7in8)->Unit(benchmark::kMillisecond);

void BM_Crc32Block(benchmark::State& state) {
    for (auto _ : state) {
        std::uint32_t acc = 0;
        forEachBlock([&](const std::uint8_t* p, std::int32_t n) {
            acc ^= protocol::crc32Block(p, static_cast<std::uint32_t>(n));
        });
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(state.iterations() * writtenBytes());
}
BENCHMARK(BM_Crc32Block)->Unit(benchmark::kMillisecond);

void BM_Unpack7in8(benchmark::State& state) {
    std::vector<std::uint8_t> packed(
        static_cast<std::size_t>(protocol::packedLength(engine::kBlockSize)));
    std::vector<std::uint8_t> raw(engine::kBlockSize);
    for (auto _ : state) {
        forEachBlock([&](const std::uint8_t* p, std::int32_t n) {
            const int pl = protocol::pack7in8(packed.data(), p, n);
            benchmark::DoNotOptimize(protocol::unpack7in8(raw.data(), packed.data(), pl));
        });
    }
    state.SetBytesProcessed(state.iterations() * writtenBytes());
}
BENCHMARK(BM_Unpack7in8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
