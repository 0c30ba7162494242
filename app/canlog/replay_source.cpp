#include "app/canlog/replay_source.h"

#include <cerrno>
#include <cstring>

#include "app/canlog/candump.h"

namespace {

// Far above any candump line (kCandumpLineMax); keeps a binary file fed in by
// mistake from growing the line without bound.
constexpr size_t kMaxLine = 4096;

}  // namespace

ReplaySource::~ReplaySource() {
    if (file_ != nullptr) {
        fclose(file_);
    }
}

bool ReplaySource::open(const std::string& path, std::string* error) {
    if (file_ != nullptr) {
        fclose(file_);
        file_ = nullptr;
    }
    path_ = path;
    file_ = fopen(path.c_str(), "rbe");
    if (file_ == nullptr) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    uint8_t head[12];
    size_t got = fread(head, 1, sizeof head, file_);
    if (ferror(file_)) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    pcapng_.reset();
    if (!rewind(error)) {
        return false;
    }
    if (looksLikePcapng(head, got)) {
        pcapng_ = std::make_unique<PcapngReader>(file_);
    }
    return true;
}

bool ReplaySource::rewind(std::string* error) {
    if (file_ == nullptr || fseek(file_, 0, SEEK_SET) != 0) {
        *error = path_ + ": " + (file_ == nullptr ? "not open" : strerror(errno));
        return false;
    }
    clearerr(file_);
    line_ = 0;
    if (pcapng_ != nullptr) {
        pcapng_ = std::make_unique<PcapngReader>(file_);
    }
    return true;
}

ReplaySource::Result ReplaySource::next(LogFrame* frame, std::string* ifname, std::string* error) {
    if (file_ == nullptr) {
        *error = path_ + ": not open";
        return Result::Invalid;
    }
    if (pcapng_ != nullptr) {
        std::string why;
        switch (pcapng_->next(frame, ifname, &why)) {
            case PcapngReader::Result::Frame:
                return Result::Frame;
            case PcapngReader::Result::End:
                return Result::End;
            case PcapngReader::Result::Invalid:
                break;
        }
        *error = path_ + ": " + why;
        return Result::Invalid;
    }
    for (;;) {
        text_.clear();
        int c;
        while ((c = getc_unlocked(file_)) != EOF && c != '\n') {
            if (text_.size() == kMaxLine) {
                *error = path_ + ":" + std::to_string(line_ + 1) + ": line too long";
                return Result::Invalid;
            }
            text_.push_back(static_cast<char>(c));
        }
        if (ferror(file_)) {
            *error = path_ + ": " + strerror(errno);
            return Result::Invalid;
        }
        if (c == EOF && text_.empty()) {
            return Result::End;
        }
        ++line_;
        std::string why;
        switch (parseCandumpLine(text_, frame, ifname, &why)) {
            case CandumpParse::Frame:
                return Result::Frame;
            case CandumpParse::Skip:
                continue;
            case CandumpParse::Invalid:
                break;
        }
        *error = path_ + ":" + std::to_string(line_) + ": " + why;
        return Result::Invalid;
    }
}

std::string ReplaySource::where() const {
    if (pcapng_ != nullptr) {
        return path_ + ": block " + std::to_string(pcapng_->blockNumber());
    }
    return path_ + ":" + std::to_string(line_);
}
