#include <cstddef>
#include <cstdint>
#include <string_view>

#include "policy/engine.h"
#include "policy/reloader.h"

namespace {

tarvo::capture::PacketInfo packet(const char* src, const char* dst, std::uint16_t port,
                                  tarvo::capture::Protocol proto) {
    tarvo::capture::PacketInfo p;
    p.src_ip = *tarvo::IpAddr::parse(src);
    p.dst_ip = *tarvo::IpAddr::parse(dst);
    p.src_port = 40000;
    p.dst_port = port;
    p.protocol = proto;
    return p;
}

}  // namespace

// Any rules file content: bad documents and rules are skipped, nothing may crash, and
// the engine's indexes pick the same rule as a walk over every rule.
// (yaml-cpp 0.7 never returns on some inputs; the daemon parses in a child process
// with a time limit, and `make fuzz` runs this target with time-outs ignored.)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto result = tarvo::policy::parse_rules_collect(
        std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& r : result.rules) {
        if (!r.enabled) __builtin_trap();
    }
    using tarvo::capture::Protocol;
    static const tarvo::capture::PacketInfo packets[] = {
        packet("192.0.2.1", "10.0.0.5", 80, Protocol::tcp()),
        packet("10.1.2.3", "192.0.2.255", 53, Protocol::udp()),
        packet("0.0.0.0", "255.255.255.255", 0, Protocol::icmp()),
        packet("2001:db8::1", "fe80::1", 443, Protocol::tcp()),
        packet("::ffff:192.0.2.1", "::", 22, Protocol::other(47)),
    };
    const tarvo::policy::PolicyEngine::RuleSet set(std::move(result.rules));
    for (const auto& p : packets) {
        const tarvo::policy::PolicyRule* walked = nullptr;
        for (const auto& r : set.rules) {
            if (r.matches(p)) {
                walked = &r;
                break;
            }
        }
        if (tarvo::policy::PolicyEngine::first_match(set, p) != walked) __builtin_trap();
    }
    return 0;
}
