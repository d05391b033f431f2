// Replays a capture file through the daemon's own decode and per-packet processing,
// with no sleeps, and prints one line of figures.
//
//   tarvo-bench FILE.pcap [--rules RULES.yaml] [--through-queue]
//   tarvo-bench --spoofed N
//
// By default frames go straight from pcap_next_ex to the loop; --through-queue passes
// them through the capture engine's thread and bounded ring as live capture does.
// --spoofed feeds N TCP SYNs, each from a different random source, to measure memory
// under a spoofed flood. Security log lines go to a temporary directory.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include <stdlib.h>

#include <filesystem>

#include "capture/decode.h"
#include "capture/file_source.h"
#include "capture/linux.h"
#include "logger/alert.h"
#include "packet_loop.h"
#include "policy/engine.h"
#include "policy/reloader.h"

// Every heap allocation of the process is counted, so the report can show that the
// packet path allocates nothing.
std::atomic<std::uint64_t> g_allocations{0};

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace tarvo;

struct Args {
    std::string file;
    std::string rules;
    bool through_queue = false;
    bool keep_logs = false;
    std::uint64_t spoofed = 0;
};

std::optional<Args> parse_args(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--through-queue") {
            a.through_queue = true;
        } else if (arg == "--keep-logs") {
            a.keep_logs = true;
        } else if (arg == "--rules" && i + 1 < argc) {
            a.rules = argv[++i];
        } else if (arg == "--spoofed" && i + 1 < argc) {
            a.spoofed = std::strtoull(argv[++i], nullptr, 10);
        } else if (!arg.starts_with("--") && a.file.empty()) {
            a.file = arg;
        } else {
            return std::nullopt;
        }
    }
    if (a.file.empty() == (a.spoofed == 0)) return std::nullopt;
    return a;
}

// Drains `engine` into `loop`; spins instead of sleeping while the queue refills.
template <typename Engine>
void drain(Engine& engine, PacketLoop& loop) {
    for (;;) {
        if (poll_once(engine, loop) != capture::Poll::Empty) continue;
        if (engine.exhausted()) break;
        std::this_thread::yield();
    }
}

// One SYN frame whose source address changes for every packet (xorshift, so the
// sequence is the same on every run).
void feed_spoofed(std::uint64_t n, PacketLoop& loop) {
    std::uint8_t frame[60] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00,
                              0x45, 0, 0, 40, 0, 0, 0x40, 0, 64, 6, 0, 0, 0, 0, 0, 0, 198, 51, 100, 2,
                              0x9c, 0x40, 0, 80, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02, 0x04, 0};
    std::uint32_t x = 2463534242U;
    capture::PacketInfo p;
    for (std::uint64_t i = 0; i < n; ++i) {
        x ^= x << 13U;
        x ^= x >> 17U;
        x ^= x << 5U;
        // Keep the first octet in 11..222: public unicast, mostly outside trusted ranges.
        frame[26] = static_cast<std::uint8_t>(11 + x % 212);
        frame[27] = static_cast<std::uint8_t>(x >> 8U);
        frame[28] = static_cast<std::uint8_t>(x >> 16U);
        frame[29] = static_cast<std::uint8_t>(x >> 24U);
        if (capture::decode_into(frame, p)) loop.process(p, std::chrono::steady_clock::now());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = parse_args(argc, argv);
    if (!args) {
        std::fprintf(stderr,
                     "usage: tarvo-bench FILE.pcap [--rules RULES.yaml] [--through-queue] | --spoofed N\n"
                     "       [--keep-logs]  keep the security logs and print their directory\n");
        return 2;
    }
    char dir_template[] = "/tmp/tarvo-bench-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) return 1;
    const std::filesystem::path log_dir = dir_template;
    auto alerts = logger::AlertLogger::init(log_dir, 4096, 100);
    if (!alerts) {
        std::fprintf(stderr, "tarvo-bench: %s\n", alerts.error().c_str());
        return 1;
    }
    auto clock = std::make_shared<logger::ClockCache>();
    std::atomic<bool> ticking{true};
    std::thread refresher([&] {
        while (ticking) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            clock->refresh();
        }
    });
    auto policy = std::make_shared<policy::PolicyEngine>();
    if (!args->rules.empty()) {
        if (auto loaded = policy::load_rules(args->rules, *policy); !loaded) {
            std::fprintf(stderr, "tarvo-bench: %s\n", loaded.error().c_str());
            return 1;
        }
    }
    PacketLoop loop(LoopOutputs{std::make_shared<GlobalCounters>(), *alerts, clock, policy},
                    detector::DetectionGate({}, {}), LoopSettings{},
                    std::chrono::steady_clock::now());
    std::uint64_t undecodable = 0;
    std::chrono::steady_clock::time_point start;
    std::uint64_t allocations_before = 0;
    if (args->spoofed > 0) {
        start = std::chrono::steady_clock::now();
        allocations_before = g_allocations.load();
        feed_spoofed(args->spoofed, loop);
    } else if (args->through_queue) {
        auto engine = capture::LinuxCaptureEngine::replay(args->file);
        start = std::chrono::steady_clock::now();
        if (auto ok = engine->start(); !ok) {
            std::fprintf(stderr, "tarvo-bench: %s\n", ok.error().message().c_str());
            return 1;
        }
        allocations_before = g_allocations.load();
        drain(*engine, loop);
        undecodable = engine->undecodable();
    } else {
        auto source = capture::PcapFileSource::open(args->file);
        if (!source) {
            std::fprintf(stderr, "tarvo-bench: %s\n", source.error().message().c_str());
            return 1;
        }
        start = std::chrono::steady_clock::now();
        (void)(*source)->start();
        allocations_before = g_allocations.load();
        drain(**source, loop);
        undecodable = (*source)->undecodable();
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint64_t frames = loop.packets() + undecodable;
    ticking = false;
    refresher.join();
    alerts->reset();
    if (args->keep_logs) {
        std::fprintf(stderr, "security logs kept in %s\n", log_dir.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(log_dir, ec);
    }
    std::fprintf(stderr, "heap allocations while replaying: %llu\n",
                 static_cast<unsigned long long>(g_allocations.load() - allocations_before));
    fmt::print("packets={} undecodable={} seconds={:.6f} pps={:.0f} ns_per_packet={:.1f}\n", frames,
               undecodable, secs, static_cast<double>(frames) / secs,
               secs * 1e9 / static_cast<double>(frames));
    return 0;
}
