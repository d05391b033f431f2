#include "capture/file_source.h"

#include "capture/decode.h"

namespace tarvo::capture {

Expected<std::unique_ptr<PcapFileSource>, CaptureError> PcapFileSource::open(
    const std::filesystem::path& file, const std::optional<std::string>& filter) {
    auto handle = PcapHandle::open_offline(file, filter);
    if (!handle) return Unexpected(handle.error());
    return std::unique_ptr<PcapFileSource>(new PcapFileSource(std::move(*handle)));
}

Expected<Ok, CaptureError> PcapFileSource::start() {
    if (running_) return Unexpected(CaptureError::already_started());
    running_ = true;
    return Ok{};
}

Expected<Ok, CaptureError> PcapFileSource::stop() {
    if (!running_) return Unexpected(CaptureError::not_started());
    running_ = false;
    return Ok{};
}

Poll PcapFileSource::next_packet(PacketInfo& out) {
    if (!running_ || exhausted_) return Poll::Empty;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int rc = pcap_next_ex(handle_.get(), &header, &data);
    if (rc != 1) {
        exhausted_ = rc == PCAP_ERROR_BREAK || rc == PCAP_ERROR;
        return Poll::Empty;
    }
    if (!decode_into({data, header->caplen}, out)) {
        ++undecodable_;
        return Poll::Undecodable;
    }
    return Poll::Packet;
}

}  // namespace tarvo::capture
