#include "transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ksim::core {

namespace {

void appendHex(std::string* out, const uint8_t* data, int length) {
    static const char kDigits[] = "0123456789abcdef";
    if (data == nullptr || length <= 0) {
        return;
    }
    const size_t at = out->size();
    out->resize(at + static_cast<size_t>(length) * 2);
    char* p = out->data() + at;
    for (int i = 0; i < length; ++i) {
        *p++ = kDigits[data[i] >> 4];
        *p++ = kDigits[data[i] & 0x0F];
    }
}

std::string prefix(const DeviceTag& tag) {
    char text[64];
    snprintf(text, sizeof(text), "dev=%d %04x:%04x#%d ", tag.position, tag.vendorId, tag.productId,
             tag.ordinal);
    return text;
}

}  // namespace

std::string formatTransferLine(const DeviceTag& tag, TransferKind kind, uint8_t endpoint,
                               int length, int result, int transferred, const uint8_t* data) {
    const bool in = (endpoint & 0x80) != 0;
    const int shown = in ? transferred : length;
    std::string line = prefix(tag);
    line.reserve(line.size() + 80 + static_cast<size_t>(shown > 0 ? shown : 0) * 2);
    char text[96];
    snprintf(text, sizeof(text), "%s %s ep=%02x len=%d rc=%d xfer=%d data=",
             kind == TransferKind::Bulk ? "bulk" : "interrupt", in ? "in" : "out", endpoint, length,
             result, transferred);
    line += text;
    appendHex(&line, data, shown);
    return line;
}

std::string formatEventLine(const DeviceTag& tag, const char* event, int endpoint, bool hasResult,
                            int result) {
    std::string line = prefix(tag) + event;
    char text[32];
    if (endpoint >= 0) {
        snprintf(text, sizeof(text), " ep=%02x", endpoint & 0xFF);
        line += text;
    }
    if (hasResult) {
        snprintf(text, sizeof(text), " rc=%d", result);
        line += text;
    }
    return line;
}

bool Transcript::open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int old = fd_.exchange(-1);
    if (old >= 0) {
        ::close(old);
    }
    if (path.empty()) {
        return true;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open transcript \"" + path + "\": " + strerror(errno);
        return false;
    }
    fd_.store(fd);
    return true;
}

void Transcript::write(std::string line) {
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    const int fd = fd_.load();
    if (fd < 0) {
        return;
    }
    // O_APPEND makes each write land whole at the end of the file.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

Transcript& transcript() {
    // Never destroyed: transfers may still run while the process exits.
    static Transcript* instance = new Transcript;
    return *instance;
}

}  // namespace ksim::core
