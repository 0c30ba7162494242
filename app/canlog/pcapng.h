// pcapng for Wireshark and tshark: link type 227 (SocketCAN frames),
// microsecond time stamps, one interface per channel.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/canlog/log_frame.h"

// Block builders: each appends one whole block to out (little-endian).
void pcapngSectionHeader(std::string& out);
// Interface "can<channel>", link type 227, if_name option, no if_tsresol
// (microseconds).
void pcapngInterfaceBlock(std::string& out, uint32_t channel);
// Enhanced packet block on interface `interfaceId`; epb_flags carries the
// direction (1 inbound, 2 outbound); the packet is the 16-byte classic or
// 72-byte FD SocketCAN frame (FDF set for FD frames).
void pcapngPacketBlock(std::string& out, uint32_t interfaceId, const LogFrame& frame);

// Streams the CAN frames out of a pcapng file, block by block: memory stays
// flat whatever the file's size. Sections of either byte order, any number
// of interfaces and if_tsresol are understood; packets of other link types
// and unknown blocks are skipped.
class PcapngReader {
  public:
    enum class Result { Frame, End, Invalid };
    explicit PcapngReader(std::FILE* file) : file_(file) {}
    // Next frame; *ifname gets its interface's name ("" when unnamed).
    // Invalid: *error says why (a truncated or malformed block).
    Result next(LogFrame* frame, std::string* ifname, std::string* error);
    // Number of the block being read (1-based), for error messages.
    uint64_t blockNumber() const { return blocks_; }

  private:
    struct Interface {
        uint16_t linkType = 0;
        std::string name;
        uint64_t unitsPerSecond = 1000000;
    };
    std::FILE* file_;
    bool bigEndian_ = false;
    bool sawSection_ = false;
    std::vector<Interface> interfaces_;
    std::vector<uint8_t> block_;
    uint64_t blocks_ = 0;
};

// Whether the first bytes of a file are a pcapng section header.
bool looksLikePcapng(const uint8_t* head, size_t length);
