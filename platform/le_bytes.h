// Little-endian wire helpers.
//
// USB packets are built and decoded byte by byte through these helpers, never
// by casting packed structures over a buffer: the byte order is explicit at
// the edge where bytes become values, and the cursors below refuse to read or
// write past the end of the buffer they were given.
//
//   uint8_t pkt[8];
//   ByteWriter w(pkt, sizeof pkt);
//   w.u8(0x55); w.u16le(0x1234); w.u32le(id);      // 55 34 12 <id LE>
//
//   ByteReader r(rx, received);
//   uint8_t kind; uint16_t len;
//   if (!r.u8(kind) || !r.u16le(len) || len > r.remaining()) return -1;
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Fixed-position access ------------------------------------------------
// The caller guarantees that p points at enough bytes.

constexpr void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

constexpr void put_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

constexpr uint16_t get_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

constexpr uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Some adapters report their version words most significant byte first.
constexpr uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// ---- Bounded cursors --------------------------------------------------------
// Every operation checks the bytes remaining first. A failing operation reads
// or writes nothing, leaves its output argument untouched and does not move
// the cursor, so a decoder can stop at the first failure and report it.

class ByteReader {
  public:
    constexpr ByteReader(const uint8_t* data, size_t size)
        : data_(data), size_(data != nullptr ? size : 0) {}

    constexpr size_t size() const { return size_; }
    constexpr size_t position() const { return pos_; }
    constexpr size_t remaining() const { return size_ - pos_; }
    // The next unread byte; only meaningful while remaining() > 0.
    constexpr const uint8_t* current() const { return data_ + pos_; }

    constexpr bool u8(uint8_t& out) {
        if (remaining() < 1) {
            return false;
        }
        out = data_[pos_];
        pos_ += 1;
        return true;
    }

    constexpr bool u16le(uint16_t& out) {
        if (remaining() < 2) {
            return false;
        }
        out = get_le16(data_ + pos_);
        pos_ += 2;
        return true;
    }

    constexpr bool u16be(uint16_t& out) {
        if (remaining() < 2) {
            return false;
        }
        out = get_be16(data_ + pos_);
        pos_ += 2;
        return true;
    }

    constexpr bool u32le(uint32_t& out) {
        if (remaining() < 4) {
            return false;
        }
        out = get_le32(data_ + pos_);
        pos_ += 4;
        return true;
    }

    // Copies n bytes into dst.
    constexpr bool bytes(uint8_t* dst, size_t n) {
        if (n > remaining()) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            dst[i] = data_[pos_ + i];
        }
        pos_ += n;
        return true;
    }

    constexpr bool skip(size_t n) {
        if (n > remaining()) {
            return false;
        }
        pos_ += n;
        return true;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class ByteWriter {
  public:
    constexpr ByteWriter(uint8_t* data, size_t size)
        : data_(data), size_(data != nullptr ? size : 0) {}

    constexpr size_t size() const { return size_; }
    // Bytes written (or skipped) so far: the length of the packet built.
    constexpr size_t position() const { return pos_; }
    constexpr size_t remaining() const { return size_ - pos_; }

    constexpr bool u8(uint8_t v) {
        if (remaining() < 1) {
            return false;
        }
        data_[pos_] = v;
        pos_ += 1;
        return true;
    }

    constexpr bool u16le(uint16_t v) {
        if (remaining() < 2) {
            return false;
        }
        put_le16(data_ + pos_, v);
        pos_ += 2;
        return true;
    }

    constexpr bool u32le(uint32_t v) {
        if (remaining() < 4) {
            return false;
        }
        put_le32(data_ + pos_, v);
        pos_ += 4;
        return true;
    }

    // Copies n bytes from src.
    constexpr bool bytes(const uint8_t* src, size_t n) {
        if (n > remaining()) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            data_[pos_ + i] = src[i];
        }
        pos_ += n;
        return true;
    }

    // Writes n copies of v (padding).
    constexpr bool fill(uint8_t v, size_t n) {
        if (n > remaining()) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            data_[pos_ + i] = v;
        }
        pos_ += n;
        return true;
    }

    // Moves past n bytes, leaving their contents as they are.
    constexpr bool skip(size_t n) {
        if (n > remaining()) {
            return false;
        }
        pos_ += n;
        return true;
    }

  private:
    uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
