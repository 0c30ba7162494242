#include "app/canlog/pcapng.h"

#include <cstring>

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeCan = 227;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptIfName = 2;
constexpr uint16_t kOptIfTsresol = 9;
constexpr uint16_t kOptEpbFlags = 2;
// A CAN packet is 72 bytes at most; a block beyond this is corrupt, not big.
constexpr uint32_t kMaxBlock = 1 << 20;
// Keeps a hostile file from growing the interface table without bound.
constexpr size_t kMaxInterfaces = 65536;

constexpr uint32_t kCanExtended = 0x80000000;
constexpr uint32_t kCanRemote = 0x40000000;
constexpr uint32_t kCanError = 0x20000000;
constexpr uint8_t kFdBrs = 0x01;
constexpr uint8_t kFdEsi = 0x02;
constexpr uint8_t kFdFdf = 0x04;
constexpr size_t kClassicPacket = 16;
constexpr size_t kFdPacket = 72;

void put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void put32(std::string& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}

size_t padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

// Appends the block's total length at both ends once its body is in place.
void finishBlock(std::string& out, size_t start) {
    uint32_t total = static_cast<uint32_t>(out.size() - start + 4);
    for (int i = 0; i < 4; ++i) {
        out[start + 4 + i] = static_cast<char>((total >> (8 * i)) & 0xFF);
    }
    put32(out, total);
}

void startBlock(std::string& out, uint32_t type) {
    put32(out, type);
    put32(out, 0);  // total length, filled by finishBlock
}

void putOption(std::string& out, uint16_t code, const void* value, uint16_t length) {
    put16(out, code);
    put16(out, length);
    out.append(static_cast<const char*>(value), length);
    out.append(padded(length) - length, '\0');
}

}  // namespace

void pcapngSectionHeader(std::string& out) {
    size_t start = out.size();
    startBlock(out, kSectionHeader);
    put32(out, kByteOrderMagic);
    put16(out, 1);  // version 1.0
    put16(out, 0);
    put32(out, 0xFFFFFFFF);  // section length unknown: the file is written as it goes
    put32(out, 0xFFFFFFFF);
    finishBlock(out, start);
}

void pcapngInterfaceBlock(std::string& out, uint32_t channel) {
    size_t start = out.size();
    startBlock(out, kInterfaceBlock);
    put16(out, kLinkTypeCan);
    put16(out, 0);
    put32(out, 0);  // snap length: no limit
    std::string name = "can" + std::to_string(channel);
    putOption(out, kOptIfName, name.data(), static_cast<uint16_t>(name.size()));
    put32(out, kOptEnd);
    finishBlock(out, start);
}

void pcapngPacketBlock(std::string& out, uint32_t interfaceId, const LogFrame& frame) {
    size_t start = out.size();
    startBlock(out, kEnhancedPacket);
    put32(out, interfaceId);
    put32(out, static_cast<uint32_t>(frame.stampUs >> 32));
    put32(out, static_cast<uint32_t>(frame.stampUs & 0xFFFFFFFF));
    size_t packet = frame.fd ? kFdPacket : kClassicPacket;
    put32(out, static_cast<uint32_t>(packet));
    put32(out, static_cast<uint32_t>(packet));

    uint32_t id = frame.ext ? (frame.id & 0x1FFFFFFF) | kCanExtended : frame.id & 0x7FF;
    if (frame.rtr && !frame.fd) {
        id |= kCanRemote;
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((id >> shift) & 0xFF));
    }
    uint8_t len = frame.fd ? canFdLength(frame.len) : (frame.len > 8 ? 8 : frame.len);
    uint8_t flags = frame.fd ? kFdFdf | (frame.brs ? kFdBrs : 0) | (frame.esi ? kFdEsi : 0) : 0;
    out.push_back(static_cast<char>(len));
    out.push_back(static_cast<char>(flags));
    out.append(2, '\0');
    size_t dataBytes = frame.rtr && !frame.fd ? 0 : len;
    out.append(reinterpret_cast<const char*>(frame.data), dataBytes);
    out.append(packet - 8 - dataBytes, '\0');

    put16(out, kOptEpbFlags);
    put16(out, 4);
    put32(out, frame.outbound ? 2 : 1);  // direction
    put32(out, kOptEnd);
    finishBlock(out, start);
}

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

// Units per second of an if_tsresol value: 10^v, or 2^v with the top bit
// set; 0 when it does not fit 64 bits.
uint64_t unitsPerSecond(uint8_t resolution) {
    unsigned exponent = resolution & 0x7F;
    if (resolution & 0x80) {
        return exponent < 64 ? uint64_t{1} << exponent : 0;
    }
    if (exponent > 19) {
        return 0;
    }
    uint64_t units = 1;
    for (unsigned i = 0; i < exponent; ++i) {
        units *= 10;
    }
    return units;
}

}  // namespace

bool looksLikePcapng(const uint8_t* head, size_t length) {
    static const uint8_t kType[4] = {0x0A, 0x0D, 0x0D, 0x0A};
    static const uint8_t kMagicLe[4] = {0x4D, 0x3C, 0x2B, 0x1A};
    static const uint8_t kMagicBe[4] = {0x1A, 0x2B, 0x3C, 0x4D};
    if (length < 4 || memcmp(head, kType, 4) != 0) {
        return false;
    }
    return length < 12 || memcmp(head + 8, kMagicLe, 4) == 0 || memcmp(head + 8, kMagicBe, 4) == 0;
}

// block_ holds a block after its type and first length word: body, then the
// trailing length. Offsets below are into it.
PcapngReader::Result PcapngReader::next(LogFrame* frame, std::string* ifname, std::string* error) {
    auto u16 = [this](size_t at) {
        uint16_t v = static_cast<uint16_t>(block_[at] | block_[at + 1] << 8);
        return bigEndian_ ? static_cast<uint16_t>(v >> 8 | v << 8) : v;
    };
    auto u32 = [this](size_t at) {
        uint32_t v = le32(&block_[at]);
        return bigEndian_ ? swap32(v) : v;
    };
    auto fail = [this, error](const std::string& why) {
        *error = "block " + std::to_string(blocks_) + ": " + why;
        return Result::Invalid;
    };
    // Walks the options from `at` to `end`; false when one runs past the end.
    auto options = [&](size_t at, size_t end, auto&& onOption) {
        while (at + 4 <= end) {
            uint16_t code = u16(at);
            uint16_t length = u16(at + 2);
            if (code == kOptEnd) {
                return true;
            }
            if (padded(length) > end - at - 4) {
                return false;
            }
            onOption(code, at + 4, length);
            at += 4 + padded(length);
        }
        return true;
    };

    for (;;) {
        uint8_t head[8];
        size_t got = fread(head, 1, sizeof head, file_);
        if (got == 0 && feof(file_) && sawSection_) {
            return Result::End;
        }
        ++blocks_;
        if (got == 0 && feof(file_)) {
            return fail("empty file");
        }
        if (got < sizeof head) {
            return fail(ferror(file_) ? "read error" : "truncated");
        }
        uint32_t rawType = le32(head);
        bool section = rawType == kSectionHeader;  // the same in both byte orders
        if (!section && !sawSection_) {
            return fail("not a pcapng section header");
        }
        if (section) {
            uint8_t magic[4];
            if (fread(magic, 1, 4, file_) < 4) {
                return fail("truncated");
            }
            if (memcmp(magic, "\x4D\x3C\x2B\x1A", 4) == 0) {
                bigEndian_ = false;
            } else if (memcmp(magic, "\x1A\x2B\x3C\x4D", 4) == 0) {
                bigEndian_ = true;
            } else {
                return fail("bad byte-order magic");
            }
            block_.assign(magic, magic + 4);
        } else {
            block_.clear();
        }
        uint32_t length = bigEndian_ ? swap32(le32(head + 4)) : le32(head + 4);
        uint32_t type = section ? kSectionHeader : bigEndian_ ? swap32(rawType) : rawType;
        if (length < (section ? 28u : 12u) || length % 4 != 0 || length > kMaxBlock) {
            return fail("bad length " + std::to_string(length));
        }
        size_t have = block_.size();
        block_.resize(length - 8);
        if (fread(block_.data() + have, 1, block_.size() - have, file_) < block_.size() - have) {
            return fail("truncated");
        }
        size_t bodyEnd = block_.size() - 4;
        if (u32(bodyEnd) != length) {
            return fail("lengths at the two ends differ");
        }

        if (type == kSectionHeader) {
            if (u16(4) != 1) {
                return fail("pcapng version " + std::to_string(u16(4)) + " not supported");
            }
            sawSection_ = true;
            interfaces_.clear();  // interface ids count anew in each section
        } else if (type == kInterfaceBlock) {
            if (bodyEnd < 8) {
                return fail("interface block too short");
            }
            Interface iface;
            iface.linkType = u16(0);
            bool resolutionOk = true;
            bool ok = options(8, bodyEnd, [&](uint16_t code, size_t at, uint16_t len) {
                if (code == kOptIfName) {
                    iface.name.assign(reinterpret_cast<const char*>(&block_[at]), len);
                    iface.name.resize(strnlen(iface.name.c_str(), len));
                } else if (code == kOptIfTsresol && len >= 1) {
                    iface.unitsPerSecond = unitsPerSecond(block_[at]);
                    resolutionOk = iface.unitsPerSecond != 0;
                }
            });
            if (!ok) {
                return fail("option runs past the block");
            }
            if (!resolutionOk) {
                return fail("time stamp resolution not supported");
            }
            if (interfaces_.size() == kMaxInterfaces) {
                return fail("more than " + std::to_string(kMaxInterfaces) + " interfaces");
            }
            interfaces_.push_back(std::move(iface));
        } else if (type == kEnhancedPacket) {
            if (bodyEnd < 20) {
                return fail("packet block too short");
            }
            uint32_t interfaceId = u32(0);
            if (interfaceId >= interfaces_.size()) {
                return fail("packet on undeclared interface " + std::to_string(interfaceId));
            }
            const Interface& iface = interfaces_[interfaceId];
            if (iface.linkType != kLinkTypeCan) {
                continue;
            }
            uint64_t stamp = uint64_t{u32(4)} << 32 | u32(8);
            uint32_t captured = u32(12);
            if (captured > bodyEnd - 20) {
                return fail("captured length " + std::to_string(captured) + " past the block");
            }
            bool outbound = false;
            bool ok = options(20 + padded(captured), bodyEnd,
                              [&](uint16_t code, size_t at, uint16_t len) {
                                  if (code == kOptEpbFlags && len == 4) {
                                      outbound = (u32(at) & 0x3) == 2;
                                  }
                              });
            if (!ok) {
                return fail("option runs past the block");
            }
            if (captured < 8) {
                return fail("CAN packet of " + std::to_string(captured) + " bytes");
            }
            const uint8_t* p = &block_[20];
            uint32_t id = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                          static_cast<uint32_t>(p[2]) << 8 | p[3];
            if (id & kCanError) {
                continue;
            }
            LogFrame f;
            f.ext = (id & kCanExtended) != 0;
            f.id = id & 0x1FFFFFFF;
            if (!f.ext && f.id > 0x7FF) {
                return fail("standard identifier over 7FF");
            }
            // Older kernels leave FDF clear; their FD frames show by size.
            f.fd = (p[5] & kFdFdf) != 0 || captured == kFdPacket;
            f.rtr = !f.fd && (id & kCanRemote) != 0;
            f.brs = f.fd && (p[5] & kFdBrs) != 0;
            f.esi = f.fd && (p[5] & kFdEsi) != 0;
            f.len = p[4];
            if (f.fd ? f.len > 64 || canFdLength(f.len) != f.len : f.len > 8) {
                return fail("data length " + std::to_string(f.len) + " not valid for a " +
                            (f.fd ? "CAN FD" : "classic") + " frame");
            }
            size_t dataBytes = f.rtr ? 0 : f.len;
            if (8 + dataBytes > captured) {
                return fail("frame longer than its packet");
            }
            memcpy(f.data, p + 8, dataBytes);
            unsigned __int128 us =
                static_cast<unsigned __int128>(stamp) * 1000000 / iface.unitsPerSecond;
            if (us > UINT64_MAX) {
                return fail("time stamp out of range");
            }
            f.stampUs = static_cast<uint64_t>(us);
            f.channel = channelOfInterface(iface.name);
            f.outbound = outbound;
            *frame = f;
            *ifname = iface.name;
            return Result::Frame;
        }
        // Simple packet blocks (no direction, no time), statistics, name
        // resolution and unknown blocks carry no frame to replay.
    }
}
