#include "app/canlog/log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/canlog/candump.h"
#include "app/canlog/pcapng.h"

namespace {

// Enough for any rotation; the bound only keeps a pathological directory
// from spinning the search for a free name.
constexpr unsigned kMaxParts = 100000;

bool endsWithNoCase(const std::string& text, const char* suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && strncasecmp(text.c_str() + text.size() - n, suffix, n) == 0;
}

}  // namespace

LogFormat logFormatForPath(const std::string& path) {
    return endsWithNoCase(path, ".pcapng") ? LogFormat::Pcapng : LogFormat::Candump;
}

std::string logPartName(const std::string& path, unsigned part) {
    if (part == 0) {
        return path;
    }
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    std::string number = "." + std::to_string(part);
    // A name's leading dot (".log") and dots of directories are no extension.
    if (dot == std::string::npos || dot <= base) {
        return path + number;
    }
    return path.substr(0, dot) + number + path.substr(dot);
}

LogWriter::LogWriter(std::string path, LogFormat format, uint64_t rotateBytes)
    : path_(std::move(path)), format_(format), rotateBytes_(rotateBytes) {}

LogWriter::~LogWriter() {
    close();
}

bool LogWriter::open(std::string* error, std::function<void(const std::string&)> onPart) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        *error = path_ + ": already open";
        return false;
    }
    onPart_ = std::move(onPart);
    part_ = 0;
    return openPart(error);
}

bool LogWriter::openPart(std::string* error) {
    partBytes_ = 0;
    interfaces_.clear();
    if (path_ == "-") {
        fd_ = stdoutFd_;
        ownsFd_ = false;
        rotatable_ = false;
        partName_ = "standard output";
    } else {
        int fd = -1;
        std::string name;
        for (; part_ < kMaxParts; ++part_) {
            name = logPartName(path_, part_);
            fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0 || errno != EEXIST) {
                break;
            }
            // Devices and pipes exist before we write them; files are never
            // overwritten.
            struct stat st;
            if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
                fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
                break;
            }
        }
        if (fd < 0) {
            *error =
                part_ < kMaxParts ? name + ": " + strerror(errno) : path_ + ": no free part name";
            return false;
        }
        struct stat st;
        rotatable_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        fd_ = fd;
        ownsFd_ = true;
        partName_ = name;
    }
    if (onPart_) {
        onPart_(path_ == "-" ? path_ : partName_);
    }
    return true;
}

void LogWriter::closePart() {
    if (fd_ >= 0 && ownsFd_ && ::close(fd_) != 0 && !failed_) {
        // NFS and the like report a lost write only here.
        failed_ = true;
        error_ = partName_ + ": " + strerror(errno);
    }
    fd_ = -1;
}

void LogWriter::buildRecord(const LogFrame& frame, std::string& out) {
    if (format_ == LogFormat::Candump) {
        char line[kCandumpLineMax];
        out.append(line, formatCandumpLine(frame, line, sizeof line));
        return;
    }
    if (partBytes_ == 0) {
        pcapngSectionHeader(out);  // every part is a file of its own
    }
    uint32_t id = 0;
    while (id < interfaces_.size() && interfaces_[id] != frame.channel) {
        ++id;
    }
    if (id == interfaces_.size()) {
        pcapngInterfaceBlock(out, frame.channel);
        interfaces_.push_back(frame.channel);
    }
    pcapngPacketBlock(out, id, frame);
}

bool LogWriter::writeAll(const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed_ = true;
            error_ = partName_ + ": " + (n < 0 ? strerror(errno) : "nothing written");
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool LogWriter::write(const LogFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || fd_ < 0) {
        ++lost_;
        return false;
    }
    std::string record;
    buildRecord(frame, record);
    if (rotatable_ && rotateBytes_ > 0 && partBytes_ > 0 &&
        partBytes_ + record.size() > rotateBytes_) {
        closePart();
        ++part_;
        std::string error;
        if (failed_ || !openPart(&error)) {
            if (!failed_) {
                failed_ = true;
                error_ = error;
            }
            ++lost_;
            return false;
        }
        record.clear();
        buildRecord(frame, record);
    }
    // One write per record: a live reader never sees half a frame.
    if (!writeAll(record.data(), record.size())) {
        ++lost_;
        return false;
    }
    partBytes_ += record.size();
    ++written_;
    return true;
}

void LogWriter::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closePart();
}

uint64_t LogWriter::framesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

uint64_t LogWriter::framesLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

std::string LogWriter::firstError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}
