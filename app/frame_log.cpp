#include "app/frame_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

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
int g_stdoutFd = 1;  // where "-" writes

// A channel's classic and FD frames, and the frames this process sends,
// reach the log from different threads, a little out of order. Frames wait
// here this long and leave in the order of their stamps.
constexpr uint64_t kReorderUs = 20000;

std::mutex g_pendingMutex;
std::condition_variable g_pendingCond;
std::multimap<uint64_t, LogFrame> g_pending;  // by stamp; guarded by g_pendingMutex
bool g_stopFlusher = false;                   // guarded by g_pendingMutex
std::thread g_flusher;

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

// Writes the frames that have waited long enough, or all of them. Called
// with g_pendingMutex held; the writer keeps the order of the calls.
void releaseLocked(bool all) {
    const uint64_t now = frameLogNowUs();
    while (!g_pending.empty()) {
        auto first = g_pending.begin();
        if (!all && first->first + kReorderUs > now) {
            break;
        }
        if (!g_writer->write(first->second)) {
            reportWriteFailure();
        }
        g_pending.erase(first);
    }
}

void flusherLoop() {
    std::unique_lock<std::mutex> lock(g_pendingMutex);
    while (!g_stopFlusher) {
        if (g_pending.empty()) {
            g_pendingCond.wait(lock);
            continue;
        }
        releaseLocked(false);
        if (g_pending.empty()) {
            continue;
        }
        const uint64_t due = g_pending.begin()->first + kReorderUs;
        const uint64_t now = frameLogNowUs();
        if (due > now) {
            g_pendingCond.wait_for(lock, std::chrono::microseconds(due - now));
        }
    }
}

}  // namespace

void frameLogTakeStandardOutput() {
    std::fflush(stdout);
    int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
        g_stdoutFd = fd;
    }
    consoleToStderr(true);
}

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
    g_path = request.path;
    g_writer = std::make_unique<LogWriter>(request.path, format, request.rotateBytes);
    g_writer->setStandardOutput(g_stdoutFd);
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
    g_flusher = std::thread(flusherLoop);
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
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(g_pendingMutex);
        wasEmpty = g_pending.empty();
        for (int i = 0; i < n; ++i) {
            uint64_t stamp =
                stampsUs != nullptr && stampsUs[i] != 0 ? stampsUs[i] : frameLogNowUs();
            g_pending.emplace(stamp, logFrameFromUserObj(objs[i], channel, stamp, outbound));
        }
    }
    if (wasEmpty) {
        g_pendingCond.notify_one();
    }
}

bool frameLogClose() {
    if (!g_writer) {
        return true;
    }
    g_active.store(false);
    if (g_flusher.joinable()) {
        {
            std::lock_guard<std::mutex> lock(g_pendingMutex);
            g_stopFlusher = true;
            releaseLocked(true);
        }
        g_pendingCond.notify_one();
        g_flusher.join();
    }
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
