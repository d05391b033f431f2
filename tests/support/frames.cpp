#include "support/frames.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstring>
#include <stdexcept>

namespace tarvo::test {
namespace {

void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8U));
    b.push_back(static_cast<std::uint8_t>(v));
}

void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

void put_addr(Bytes& b, int family, const std::string& text) {
    std::uint8_t buf[16];
    if (::inet_pton(family, text.c_str(), buf) != 1) throw std::invalid_argument(text);
    b.insert(b.end(), buf, buf + (family == AF_INET ? 4 : 16));
}

}  // namespace

Bytes eth(std::uint16_t type, const Bytes& payload) {
    Bytes b = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02};
    put16(b, type);
    append(b, payload);
    return b;
}

Bytes vlan(std::uint16_t inner_type, const Bytes& payload) {
    Bytes b;
    put16(b, 0x0064);  // priority 0, VLAN 100
    put16(b, inner_type);
    append(b, payload);
    return b;
}

Bytes ipv4(std::uint8_t proto, const Bytes& payload, const std::string& src,
           const std::string& dst, std::uint16_t frag_offset, std::size_t option_bytes) {
    const std::size_t header = 20 + option_bytes;
    Bytes b;
    b.push_back(static_cast<std::uint8_t>(0x40U | (header / 4)));
    b.push_back(0);
    put16(b, static_cast<std::uint16_t>(header + payload.size()));
    put16(b, 0x1234);
    put16(b, frag_offset);
    b.push_back(64);
    b.push_back(proto);
    put16(b, 0);
    put_addr(b, AF_INET, src);
    put_addr(b, AF_INET, dst);
    b.insert(b.end(), option_bytes, 0x01);  // NOP options
    append(b, payload);
    return b;
}

Bytes ipv6(std::uint8_t next, const Bytes& payload, const std::string& src,
           const std::string& dst) {
    Bytes b = {0x60, 0, 0, 0};
    put16(b, static_cast<std::uint16_t>(payload.size()));
    b.push_back(next);
    b.push_back(64);
    put_addr(b, AF_INET6, src);
    put_addr(b, AF_INET6, dst);
    append(b, payload);
    return b;
}

Bytes ext6(std::uint8_t next, std::size_t units_of_8, const Bytes& payload) {
    Bytes b = {next, static_cast<std::uint8_t>(units_of_8 - 1)};
    b.insert(b.end(), units_of_8 * 8 - 2, 0);
    append(b, payload);
    return b;
}

Bytes frag6(std::uint8_t next, std::uint16_t offset, const Bytes& payload) {
    Bytes b = {next, 0};
    put16(b, static_cast<std::uint16_t>(offset << 3U));
    b.insert(b.end(), {0, 0, 0, 1});
    append(b, payload);
    return b;
}

Bytes tcp(std::uint16_t sport, std::uint16_t dport, std::uint8_t flags) {
    Bytes b;
    put16(b, sport);
    put16(b, dport);
    b.insert(b.end(), 8, 0);  // sequence and acknowledgement numbers
    b.push_back(0x50);        // 5 words
    b.push_back(flags);
    put16(b, 1024);
    put16(b, 0);
    put16(b, 0);
    return b;
}

Bytes udp(std::uint16_t sport, std::uint16_t dport) {
    Bytes b;
    put16(b, sport);
    put16(b, dport);
    put16(b, 12);
    put16(b, 0);
    b.insert(b.end(), {'p', 'i', 'n', 'g'});
    return b;
}

Bytes icmp_echo() { return {8, 0, 0, 0, 0, 1, 0, 1}; }

Bytes arp() {
    Bytes b = {0, 1, 8, 0, 6, 4, 0, 1};
    b.insert(b.end(), 20, 0);
    return b;
}

Bytes gre() { return {0, 0, 0x08, 0x00}; }

Bytes padded(Bytes frame, std::size_t size) {
    if (frame.size() < size) frame.resize(size, 0);
    return frame;
}

void write_pcap(const std::filesystem::path& path, const std::vector<Bytes>& frames) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (dumper == nullptr) throw std::runtime_error(pcap_geterr(dead));
    for (const auto& f : frames) {
        pcap_pkthdr h{};
        h.caplen = static_cast<bpf_u_int32>(f.size());
        h.len = h.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, f.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

}  // namespace tarvo::test
