#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "capture/decode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Ethernet + IPv4 + TCP SYN, 60 bytes.
Bytes tcp_frame() {
    Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00,
               0x45, 0, 0, 40, 0x12, 0x34, 0x40, 0, 64, 6, 0, 0, 192, 0, 2, 1, 198, 51, 100, 2,
               0x9c, 0x40, 0x01, 0xbb, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02, 0x04, 0, 0, 0, 0, 0};
    f.resize(60, 0);
    return f;
}

Bytes vlan_frame() {
    Bytes f = tcp_frame();
    f.insert(f.begin() + 12, {0x81, 0x00, 0x00, 0x64});
    return f;
}

Bytes ipv6_udp_frame() {
    Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x86, 0xdd,
               0x60, 0, 0, 0, 0, 16, 0, 64};
    for (int i = 0; i < 32; ++i) f.push_back(static_cast<std::uint8_t>(i));
    // hop-by-hop header (8 bytes) then UDP (8 bytes)
    f.insert(f.end(), {17, 0, 0, 0, 0, 0, 0, 0, 0x13, 0x88, 0x00, 0x35, 0, 8, 0, 0});
    return f;
}

Bytes arp_frame() {
    Bytes f = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 2, 0x08, 0x06};
    f.resize(60, 0);
    return f;
}

void run(benchmark::State& state, const Bytes& frame) {
    for (auto _ : state) {
        auto p = tarvo::capture::decode(frame);
        benchmark::DoNotOptimize(p);
    }
}

void BM_DecodeTcp(benchmark::State& s) { run(s, tcp_frame()); }
void BM_DecodeVlanTcp(benchmark::State& s) { run(s, vlan_frame()); }
void BM_DecodeIpv6ExtUdp(benchmark::State& s) { run(s, ipv6_udp_frame()); }
void BM_DecodeArp(benchmark::State& s) { run(s, arp_frame()); }

}  // namespace

BENCHMARK(BM_DecodeTcp);
BENCHMARK(BM_DecodeVlanTcp);
BENCHMARK(BM_DecodeIpv6ExtUdp);
BENCHMARK(BM_DecodeArp);
