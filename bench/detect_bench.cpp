#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/packet_info.h"
#include "detector/gate.h"
#include "detector/tracker.h"
#include "policy/engine.h"
#include "policy/reloader.h"

namespace {

using tarvo::IpAddr;
using tarvo::detector::ProcessClass;
using tarvo::detector::ScanTracker;

constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kSyn = 0x02;

// A packet of an established flow from one of `sources` busy sources: the common case.
void BM_TrackerEstablishedFlows(benchmark::State& state) {
    const auto sources = static_cast<std::uint32_t>(state.range(0));
    auto now = std::chrono::steady_clock::now();
    ScanTracker tracker(now);
    std::uint32_t i = 0;
    for (auto _ : state) {
        const IpAddr src = IpAddr::v4(0xCB007100U + i % sources);  // 203.0.113.x
        auto d = tracker.observe_tcp(src, 443, kAck, ProcessClass::Neither, false, now);
        benchmark::DoNotOptimize(d);
        ++i;
    }
}

// Every SYN from a new source: a spoofed flood, evicting the least recently seen.
void BM_TrackerSpoofedSyns(benchmark::State& state) {
    auto now = std::chrono::steady_clock::now();
    ScanTracker tracker(now);
    std::uint32_t x = 2463534242U;
    for (auto _ : state) {
        x ^= x << 13U;
        x ^= x >> 17U;
        x ^= x << 5U;
        auto d = tracker.observe_tcp(IpAddr::v4(x), 80, kSyn, ProcessClass::Neither, false, now);
        benchmark::DoNotOptimize(d);
    }
}

void BM_GateInspect(benchmark::State& state) {
    const tarvo::detector::DetectionGate gate({*IpAddr::parse("192.0.2.10")}, {"198.51.100.0/24"});
    std::uint32_t x = 2463534242U;
    for (auto _ : state) {
        x ^= x << 13U;
        x ^= x >> 17U;
        x ^= x << 5U;
        benchmark::DoNotOptimize(gate.inspect(IpAddr::v4(x)));
    }
}

// `n` rules that the packets do not match: with a port condition, or addresses only.
std::string rules_text(int n, bool ports) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += "- {id: r" + std::to_string(i) + ", name: r, action: Block, conditions: {src_ips: [\"198.18." +
                std::to_string(i / 256) + "." + std::to_string(i % 256) + "\"]" +
                (ports ? ", dst_ports: [" + std::to_string(50000 + i) + "]" : std::string()) + "}}\n";
    }
    return text;
}

void rule_evaluation(benchmark::State& state, bool ports) {
    const tarvo::policy::PolicyEngine::RuleSet set(
        tarvo::policy::parse_rules(rules_text(static_cast<int>(state.range(0)), ports)));
    tarvo::capture::PacketInfo p;
    p.protocol = tarvo::capture::Protocol::tcp();
    p.dst_ip = *IpAddr::parse("10.0.0.5");
    p.dst_port = 443;
    std::uint32_t i = 0;
    for (auto _ : state) {
        p.src_ip = IpAddr::v4(0xCB007100U + (i++ & 0xFFU));
        benchmark::DoNotOptimize(tarvo::policy::PolicyEngine::first_match(set, p));
    }
}

void BM_RulesWithPorts(benchmark::State& state) { rule_evaluation(state, true); }
void BM_RulesAddressOnly(benchmark::State& state) { rule_evaluation(state, false); }

}  // namespace

BENCHMARK(BM_TrackerEstablishedFlows)->Arg(1)->Arg(1000)->Arg(16384);
BENCHMARK(BM_TrackerSpoofedSyns);
BENCHMARK(BM_GateInspect);
BENCHMARK(BM_RulesWithPorts)->Arg(0)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_RulesAddressOnly)->Arg(10)->Arg(100)->Arg(1000);
