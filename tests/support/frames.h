#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::test {

using Bytes = std::vector<std::uint8_t>;

// Frames built field by field, big-endian, for decoder and capture tests.
Bytes eth(std::uint16_t type, const Bytes& payload);
Bytes vlan(std::uint16_t inner_type, const Bytes& payload);  // one tag's 4 bytes + payload
Bytes ipv4(std::uint8_t proto, const Bytes& payload, const std::string& src = "192.0.2.1",
           const std::string& dst = "198.51.100.2", std::uint16_t frag_offset = 0,
           std::size_t option_bytes = 0);
Bytes ipv6(std::uint8_t next, const Bytes& payload, const std::string& src = "2001:db8::1",
           const std::string& dst = "2001:db8::2");
Bytes ext6(std::uint8_t next, std::size_t units_of_8, const Bytes& payload);  // generic option header
Bytes frag6(std::uint8_t next, std::uint16_t offset, const Bytes& payload);
Bytes tcp(std::uint16_t sport, std::uint16_t dport, std::uint8_t flags);
Bytes udp(std::uint16_t sport, std::uint16_t dport);
Bytes icmp_echo();
Bytes arp();
Bytes gre();
Bytes padded(Bytes frame, std::size_t size);

// Writes an Ethernet capture file holding `frames`.
void write_pcap(const std::filesystem::path& path, const std::vector<Bytes>& frames);

}  // namespace tarvo::test
