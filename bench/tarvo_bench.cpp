// Replays a capture file through the daemon's own decode and per-packet processing,
// with no sleeps, and prints one line of figures.
//
//   tarvo-bench FILE.pcap [--through-queue]
//
// By default frames go straight from pcap_next_ex to the loop; --through-queue passes
// them through the capture engine's thread and bounded ring as live capture does.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "capture/file_source.h"
#include "capture/linux.h"
#include "packet_loop.h"

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
    bool through_queue = false;
};

std::optional<Args> parse_args(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--through-queue") {
            a.through_queue = true;
        } else if (!arg.starts_with("--") && a.file.empty()) {
            a.file = arg;
        } else {
            return std::nullopt;
        }
    }
    if (a.file.empty()) return std::nullopt;
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

}  // namespace

int main(int argc, char** argv) {
    const auto args = parse_args(argc, argv);
    if (!args) {
        std::fprintf(stderr, "usage: tarvo-bench FILE.pcap [--through-queue]\n");
        return 2;
    }
    PacketLoop loop(std::make_shared<GlobalCounters>());
    std::uint64_t undecodable = 0;
    std::chrono::steady_clock::time_point start;
    std::uint64_t allocations_before = 0;
    if (args->through_queue) {
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
    std::fprintf(stderr, "heap allocations while replaying: %llu\n",
                 static_cast<unsigned long long>(g_allocations.load() - allocations_before));
    fmt::print("packets={} undecodable={} seconds={:.6f} pps={:.0f} ns_per_packet={:.1f}\n", frames,
               undecodable, secs, static_cast<double>(frames) / secs,
               secs * 1e9 / static_cast<double>(frames));
    return 0;
}
