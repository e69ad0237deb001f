// Transport timings:
//   - latency from a virtual device's send() until the message is visible to
//     FrontSysEx (delivery thread, framing, input callback, queue);
//   - period jitter of the 1 ms multimedia timer the dispatcher runs on.
// Both report the median and the 99th percentile as counters.
//
//   ql5_transport_bench [--duration=SECONDS] [benchmark flags]
// --duration sets how long each measurement runs (default 10 s).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMTimer.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace ql5;

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    const std::size_t at = std::min(
        values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

void sendToFront(benchmark::State& state, double seconds, std::size_t length) {
    mm::setDrivers({mm::virt::virtualDriver()});
    auto unit = mm::virt::VirtualDevice::create("Tarvik QL-5", "Tarvik QL-5");
    unit->plug();
    midi::CDxMMidiIn in;
    if (in.Open() != 1) {
        state.SkipWithError("cannot open the virtual input");
        return;
    }
    std::vector<std::uint8_t> message(length, 0x11);
    message.front() = 0xF0;
    message.back() = 0xF7;
    std::vector<double> latenciesUs;
    for (auto _ : state) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            const auto sent = Clock::now();
            unit->send(message.data(), message.size());
            while (!in.FrontSysEx()) {
            }
            const auto seen = Clock::now();
            in.RemoveFrontSysEx();
            latenciesUs.push_back(std::chrono::duration<double, std::micro>(seen - sent).count());
        }
    }
    in.Close();
    state.counters["messages"] = static_cast<double>(latenciesUs.size());
    state.counters["median_us"] = percentile(latenciesUs, 0.5);
    state.counters["p99_us"] = percentile(latenciesUs, 0.99);
}

class JitterTimer : public midi::CDxMTimer {
  public:
    ~JitterTimer() override { Stop(); }
    void OnTimerTick() override {
        const auto now = Clock::now();
        if (ticks_ > 0 && intervals_.size() < intervals_.capacity()) {
            intervals_.push_back(std::chrono::duration<double, std::micro>(now - last_).count());
        }
        last_ = now;
        ++ticks_;
    }
    // Read only after Stop(), which waits for the last tick.
    std::vector<double>& intervals() { return intervals_; }
    void reserve(std::size_t n) { intervals_.reserve(n); }

  private:
    Clock::time_point last_{};
    std::size_t ticks_ = 0;
    std::vector<double> intervals_;
};

void timerJitter(benchmark::State& state, double seconds) {
    std::vector<double> jitterUs;
    std::vector<double> intervalsUs;
    for (auto _ : state) {
        JitterTimer timer;
        timer.reserve(static_cast<std::size_t>(seconds * 1000.0) + 1000);
        timer.Start(1);
        benchmark::DoNotOptimize(&timer);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        timer.Stop();
        intervalsUs = timer.intervals();
    }
    for (double interval : intervalsUs) {
        jitterUs.push_back(interval > 1000.0 ? interval - 1000.0 : 1000.0 - interval);
    }
    state.counters["ticks"] = static_cast<double>(intervalsUs.size() + 1);
    state.counters["period_median_us"] = percentile(intervalsUs, 0.5);
    state.counters["jitter_median_us"] = percentile(jitterUs, 0.5);
    state.counters["jitter_p99_us"] = percentile(jitterUs, 0.99);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        constexpr const char* kFlag = "--duration=";
        if (std::strncmp(argv[i], kFlag, std::strlen(kFlag)) == 0) {
            seconds = std::atof(argv[i] + std::strlen(kFlag));
            if (seconds <= 0.0) {
                seconds = 10.0;
            }
            continue;
        }
        rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::RegisterBenchmark("SendToFrontSysEx/15B", sendToFront, seconds, 15)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("SendToFrontSysEx/4700B", sendToFront, seconds, 4700)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("TimerPeriodJitter/1ms", timerJitter, seconds)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
