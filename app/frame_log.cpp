#include "app/frame_log.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "app/canlog/adapter_clock.h"
#include "app/canlog/log_writer.h"
#include "app/console.h"
#include "app/settings.h"
#include "kcan.h"

namespace {

std::unique_ptr<LogWriter> g_writer;
std::atomic<bool> g_active{false};
std::atomic<bool> g_failureReported{false};
std::string g_path;

// One clock per channel: its classic and FD readers share the adapter's
// time base, so they share the clock (and its lock).
struct ChannelClock {
    std::mutex mutex;
    std::unique_ptr<AdapterClock> clock;
};
ChannelClock g_clocks[kMaxChannels];

// The classic adapters stamp with a 24-bit microsecond counter under a
// marker byte; the FD family with all 32 bits.
unsigned stampBits(uint32_t devType) {
    return devType == KCAN_TYPE_DUNLIN1 || devType == KCAN_TYPE_DUNLIN2 ? 24 : 32;
}

void reportWriteFailure() {
    if (!g_failureReported.exchange(true)) {
        log_error("Log %s", g_writer->firstError().c_str());
        // Frames that cannot be recorded are what the user asked for: stop
        // rather than run on without them.
        g_running.store(false);
    }
}

}  // namespace

bool frameLogOpen(const FrameLogRequest& request) {
    if (request.path.empty()) {
        return true;
    }
    LogFormat format = logFormatForPath(request.path);
    if (request.formatName == "pcapng") {
        format = LogFormat::Pcapng;
    } else if (request.formatName == "candump") {
        format = LogFormat::Candump;
    }
    if (request.path == "-") {
        consoleToStderr(true);
    }
    g_path = request.path;
    g_writer = std::make_unique<LogWriter>(request.path, format, request.rotateBytes);
    std::string error;
    bool rotating = request.rotateBytes > 0;
    if (!g_writer->open(&error, [rotating](const std::string& name) {
            if (rotating && name != "-") {
                log_info("Log file: %s", name.c_str());
            }
        })) {
        log_error("Log %s", error.c_str());
        g_writer.reset();
        return false;
    }
    g_active.store(true);
    return true;
}

bool frameLogActive() {
    return g_active.load();
}

uint64_t frameLogNowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

uint64_t frameLogStampReceived(uint32_t devType, uint32_t channel, const _KCAN_USER_OBJ& obj) {
    uint64_t now = frameLogNowUs();
    if (channel >= static_cast<uint32_t>(kMaxChannels)) {
        return now;
    }
    ChannelClock& c = g_clocks[channel];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.clock) {
        c.clock = std::make_unique<AdapterClock>(stampBits(devType));
    }
    return c.clock->stamp(obj.isFd ? obj.canfdObj.timeStamp : obj.canObj.timeStamp, now);
}

void frameLogAppend(uint32_t channel, const _KCAN_USER_OBJ* objs, const uint64_t* stampsUs, int n,
                    bool outbound) {
    if (!g_active.load() || objs == nullptr) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        uint64_t stamp = stampsUs != nullptr && stampsUs[i] != 0 ? stampsUs[i] : frameLogNowUs();
        if (!g_writer->write(logFrameFromUserObj(objs[i], channel, stamp, outbound))) {
            reportWriteFailure();
        }
    }
}

bool frameLogClose() {
    if (!g_writer) {
        return true;
    }
    g_active.store(false);
    g_writer->close();
    bool ok = g_writer->firstError().empty();
    if (!ok) {
        reportWriteFailure();
    }
    if (g_writer->framesLost() > 0) {
        log_error("Log %s: %llu frames not written", g_path.c_str(),
                  static_cast<unsigned long long>(g_writer->framesLost()));
    }
    return ok;
}
