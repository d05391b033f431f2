// Baseline for tarvo-bench: reads a capture file with pcap_next_ex and only counts.
#include <pcap/pcap.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare-read FILE.pcap\n");
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(argv[1], errbuf);
    if (p == nullptr) {
        std::fprintf(stderr, "bare-read: %s\n", errbuf);
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    unsigned long long packets = 0;
    unsigned long long bytes = 0;
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(p, &h, &data) == 1) {
        ++packets;
        bytes += h->caplen;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    pcap_close(p);
    std::printf("packets=%llu bytes=%llu seconds=%.6f pps=%.0f ns_per_packet=%.1f\n", packets, bytes,
                secs, static_cast<double>(packets) / secs, secs * 1e9 / static_cast<double>(packets));
    return 0;
}
