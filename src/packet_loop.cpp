#include "packet_loop.h"

#include <algorithm>

#include <fmt/format.h>

#include "util/saturating.h"

namespace tarvo {
namespace {

constexpr std::uint64_t kMaintenanceEvery = 1000;
constexpr std::uint64_t kMaxNormalRing = 2048;

bool detectable(capture::Protocol::Kind k) {
    using K = capture::Protocol::Kind;
    return k == K::Tcp || k == K::Udp || k == K::Icmp || k == K::Icmpv6;
}

// An address's text in a stack buffer: lines are built without allocating.
struct AddrText {
    explicit AddrText(const IpAddr& a) : len(a.format_to(buf)) {}
    std::string_view view() const { return {buf, len}; }
    char buf[64];
    std::size_t len;
};

}  // namespace

PacketLoop::PacketLoop(LoopOutputs outputs, detector::DetectionGate gate, LoopSettings settings,
                       std::chrono::steady_clock::time_point now)
    : out_(std::move(outputs)),
      gate_(std::move(gate)),
      settings_(settings),
      tracker_(now),
      normal_logs_(std::clamp<std::uint64_t>(settings.normal_ring_capacity, 1, kMaxNormalRing)) {
    if (settings_.normal_sample_divisor == 0) settings_.normal_sample_divisor = 1;
}

PacketLoop::PacketLoop(GlobalCountersPtr counters)
    : PacketLoop(LoopOutputs{std::move(counters), nullptr, nullptr, nullptr}, detector::DetectionGate{},
                 LoopSettings{}, std::chrono::steady_clock::now()) {}

logger::ClockCache::Text PacketLoop::time_text() const {
    return out_.clock ? out_.clock->text() : logger::local_clock_text();
}

std::optional<detector::ThreatDetection> PacketLoop::detect(const capture::PacketInfo& packet,
                                                            capture::Protocol::Kind kind,
                                                            std::optional<std::string_view> process,
                                                            std::chrono::steady_clock::time_point now) {
    const bool inbound = detector::inbound_to_inside(packet.src_ip, packet.dst_ip);
    const auto cls = detector::classify_process(process);
    using K = capture::Protocol::Kind;
    if (kind == K::Tcp) {
        return tracker_.observe_tcp(packet.src_ip, packet.dst_port, packet.tcp_flags(), cls,
                                    inbound, now);
    }
    if (kind == K::Udp) return tracker_.observe_udp(packet.src_ip, packet.dst_port, cls, inbound, now);
    return tracker_.observe_icmp(packet.src_ip, cls, inbound, now);
}

void PacketLoop::apply_policy(const capture::PacketInfo& packet, std::string_view process) {
    const policy::PolicyRule* rule = nullptr;
    if (out_.policy) {
        const std::uint64_t version = out_.policy->version();
        if (!rules_ || version != rules_version_) refresh_rules(version);
        if (!rules_->rules.empty()) rule = policy::PolicyEngine::first_match(*rules_, packet);
    }
    if (rule && rule->action != policy::RuleAction::Allow) {
        record_decision(packet, process, rule->action == policy::RuleAction::Block);
    } else if (settings_.log_normal_traffic) {
        sample_normal(packet, process);
    }
}

void PacketLoop::process(const capture::PacketInfo& packet,
                         std::chrono::steady_clock::time_point now) {
    // Counting.
    out_.counters->packet_count.add();
    packet_counter_ = saturating_add(packet_counter_, 1);

    // Attribution to a local process comes with the socket resolver; until then no
    // packet has one, and the detectors treat it as belonging to neither process list.
    const std::optional<std::string_view> process;

    // Detection, for sources the gate lets through.
    const auto kind = packet.protocol.kind();
    if (detectable(kind) && gate_.inspect(packet.src_ip)) {
        if (auto threat = detect(packet, kind, process, now)) {
            handle_threat(*threat, process.value_or("unknown"));
        }
    }
    if (packet_counter_ % kMaintenanceEvery == 0) tracker_.maintenance_tick(now);

    // Process enforcement comes with the process blocker; every packet goes to policy.
    apply_policy(packet, process.value_or("unknown"));

    // Export of decisions and the statistics snapshot hook come with their components.
}

void PacketLoop::refresh_rules(std::uint64_t version) {
    rules_ = out_.policy->snapshot();
    rules_version_ = version;
}

void PacketLoop::record_decision(const capture::PacketInfo& packet, std::string_view process,
                                 bool block) {
    const AddrText src(packet.src_ip);
    const AddrText dst(packet.dst_ip);
    const std::string_view label = packet.protocol.describe();
    char detail_buf[96];
    const auto r = fmt::format_to_n(detail_buf, sizeof detail_buf, "proc={}", process);
    const std::string_view detail(detail_buf, std::min(r.size, sizeof detail_buf));
    if (block) {
        out_.counters->block_count.add();
        if (out_.alerts) {
            out_.alerts->log_block(src.view(), dst.view(), packet.src_port, packet.dst_port, label, detail);
        }
    } else {
        out_.counters->alert_count.add();
        if (out_.alerts) {
            out_.alerts->log_alert(src.view(), dst.view(), packet.src_port, packet.dst_port, label, detail);
        }
    }
    const auto time = time_text();
    recent_logs_.push(logger::LogEntry::make(time.view(),
                                             block ? logger::LogLevel::Block : logger::LogLevel::Alert,
                                             src.view(), dst.view(), packet.src_port, packet.dst_port,
                                             label, process, detail));
}

void PacketLoop::sample_normal(const capture::PacketInfo& packet, std::string_view process) {
    normal_sample_counter_ = saturating_add(normal_sample_counter_, 1);
    if (normal_sample_counter_ < settings_.normal_sample_divisor) return;
    normal_sample_counter_ = 0;
    const AddrText src(packet.src_ip);
    const AddrText dst(packet.dst_ip);
    const std::string_view label = packet.protocol.describe();
    if (out_.alerts) {
        out_.alerts->log_normal(src.view(), dst.view(), packet.src_port, packet.dst_port, label, process);
    }
    const auto time = time_text();
    normal_logs_.push(logger::LogEntry::make(time.view(), logger::LogLevel::Normal, src.view(),
                                             dst.view(), packet.src_port, packet.dst_port, label,
                                             process, "allow"));
}

void PacketLoop::handle_threat(const detector::ThreatDetection& threat, std::string_view process) {
    const AddrText src(threat.source);
    const std::string_view src_text = src.view();
    const std::string_view category = detector::describe(threat.category);
    char detail_buf[160];
    const auto r = fmt::format_to_n(detail_buf, sizeof detail_buf, "{}:{}", category,
                                    threat.description);
    const std::string_view detail(detail_buf, std::min(r.size, sizeof detail_buf));

    // A detection is recorded as a BLOCK line although nothing is blocked.
    if (out_.alerts) out_.alerts->log_block(src_text, "local", 0, 0, "DETECT", detail);
    recent_threats_.push(fmt::format("{} {} | src={} | {}", detector::marker(threat.severity),
                                     category, src_text, threat.description));
    const auto time = time_text();
    recent_logs_.push(logger::LogEntry::make(time.view(), logger::LogLevel::Threat, src_text, "local",
                                             0, 0, "DETECT", process, detail));
    out_.counters->alert_count.add();
}

capture::Poll poll_once(capture::CaptureEngine& engine, PacketLoop& loop) {
    capture::PacketInfo packet;
    const capture::Poll r = engine.next_packet(packet);
    if (r == capture::Poll::Packet) loop.process(packet, std::chrono::steady_clock::now());
    return r;
}

net::awaitable<void> run_packet_loop(capture::CaptureEngine& engine, PacketLoop& loop,
                                     const std::atomic<bool>& run_flag) {
    constexpr std::uint32_t kYieldEvery = 1024;
    net::steady_timer idle(co_await net::this_coro::executor);
    std::uint32_t busy = 0;
    while (run_flag.load(std::memory_order_relaxed)) {
        if (poll_once(engine, loop) == capture::Poll::Empty) {
            busy = 0;
            idle.expires_after(kIdlePause);
            co_await idle.async_wait(net::use_awaitable);
        } else if (++busy == kYieldEvery) {
            // Under steady traffic, let the signal task and others have this thread too.
            busy = 0;
            co_await net::post(co_await net::this_coro::executor, net::use_awaitable);
        }
    }
}

}  // namespace tarvo
