#include "app/statistics.h"

#include <cstring>
#include <ctime>

#include "app/console.h"

namespace {

constexpr const char kRule[] = "========================================\n";

template <typename T>
T loadRelaxed(const T& field) {
    T value;
    __atomic_load(&field, &value, __ATOMIC_RELAXED);
    return value;
}

template <typename T>
void storeRelaxed(T& field, T value) {
    __atomic_store(&field, &value, __ATOMIC_RELAXED);
}

void addRelaxed(uint64_t& field, uint64_t value) {
    __atomic_fetch_add(&field, value, __ATOMIC_RELAXED);
}

unsigned long long ull(const uint64_t& field) {
    return static_cast<unsigned long long>(loadRelaxed(field));
}

long long elapsedSeconds(const statistics_t& s, int64_t now) {
    return static_cast<long long>(now - loadRelaxed(s.startTime));
}

// Appends text as the body of a JSON string.
void appendJsonString(TextBuilder& b, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            char escaped[2] = {'\\', static_cast<char>(c)};
            b.append(escaped, 2);
        } else if (c < 0x20) {
            b.appendf("\\u%04x", c);
        } else {
            b.append(p, 1);
        }
    }
}

}  // namespace

void stats_init(statistics_t* s) {
    if (s == nullptr) {
        return;
    }
    memset(s, 0, sizeof(*s));
    s->startTime = s->lastUpdate = static_cast<int64_t>(time(nullptr));
}

void stats_update_tx(statistics_t* s, uint64_t frames, uint64_t bytes, uint64_t failures) {
    if (s == nullptr) {
        return;
    }
    addRelaxed(s->txFrames, frames);
    addRelaxed(s->txBytes, bytes);
    addRelaxed(s->txFailed, failures);
    storeRelaxed(s->lastUpdate, static_cast<int64_t>(time(nullptr)));
}

void stats_update_rx(statistics_t* s, uint64_t frames, uint64_t bytes, uint64_t drops) {
    if (s == nullptr) {
        return;
    }
    addRelaxed(s->rxFrames, frames);
    addRelaxed(s->rxBytes, bytes);
    addRelaxed(s->rxDropped, drops);
    storeRelaxed(s->lastUpdate, static_cast<int64_t>(time(nullptr)));
}

void stats_calculate_rate(statistics_t* s) {
    if (s == nullptr) {
        return;
    }
    // Each counter is read once so that the rate and the remembered value
    // agree even while other threads keep adding.
    uint64_t txFrames = loadRelaxed(s->txFrames);
    uint64_t rxFrames = loadRelaxed(s->rxFrames);
    uint64_t txBytes = loadRelaxed(s->txBytes);
    uint64_t rxBytes = loadRelaxed(s->rxBytes);

    storeRelaxed(s->txFps, static_cast<double>(txFrames - loadRelaxed(s->lastTxFrames)));
    storeRelaxed(s->rxFps, static_cast<double>(rxFrames - loadRelaxed(s->lastRxFrames)));
    storeRelaxed(s->txKbps,
                 static_cast<double>(txBytes - loadRelaxed(s->lastTxBytes)) * 8.0 / 1000.0);
    storeRelaxed(s->rxKbps,
                 static_cast<double>(rxBytes - loadRelaxed(s->lastRxBytes)) * 8.0 / 1000.0);

    storeRelaxed(s->lastTxFrames, txFrames);
    storeRelaxed(s->lastRxFrames, rxFrames);
    storeRelaxed(s->lastTxBytes, txBytes);
    storeRelaxed(s->lastRxBytes, rxBytes);
}

void stats_snapshot(const statistics_t* s, statistics_t* out) {
    if (s == nullptr || out == nullptr) {
        return;
    }
    out->txFrames = loadRelaxed(s->txFrames);
    out->txBytes = loadRelaxed(s->txBytes);
    out->txFailed = loadRelaxed(s->txFailed);
    out->rxFrames = loadRelaxed(s->rxFrames);
    out->rxBytes = loadRelaxed(s->rxBytes);
    out->rxDropped = loadRelaxed(s->rxDropped);
    out->startTime = loadRelaxed(s->startTime);
    out->lastUpdate = loadRelaxed(s->lastUpdate);
    out->txFps = loadRelaxed(s->txFps);
    out->rxFps = loadRelaxed(s->rxFps);
    out->txKbps = loadRelaxed(s->txKbps);
    out->rxKbps = loadRelaxed(s->rxKbps);
    out->lastTxFrames = loadRelaxed(s->lastTxFrames);
    out->lastRxFrames = loadRelaxed(s->lastRxFrames);
    out->lastTxBytes = loadRelaxed(s->lastTxBytes);
    out->lastRxBytes = loadRelaxed(s->lastRxBytes);
}

int stats_format_text(char* buf, size_t size, const statistics_t& s, const char* deviceName,
                      int channel, int64_t now) {
    TextBuilder b(buf, size);
    b.append("\n");
    b.append(kRule);
    b.appendf("  CAN Statistics - %s Channel %d\n", deviceName ? deviceName : "Unknown", channel);
    b.append(kRule);
    b.appendf("  Running Time:  %lld seconds\n", elapsedSeconds(s, now));
    b.append("\n");
    b.append("  TX Statistics:\n");
    b.appendf("    Frames Sent:    %llu\n", ull(s.txFrames));
    b.appendf("    Bytes Sent:     %llu\n", ull(s.txBytes));
    b.appendf("    Failed:         %llu\n", ull(s.txFailed));
    b.appendf("    TX Rate:        %.2f fps (%.2f Kbps)\n", loadRelaxed(s.txFps),
              loadRelaxed(s.txKbps));
    b.append("\n");
    b.append("  RX Statistics:\n");
    b.appendf("    Frames Received: %llu\n", ull(s.rxFrames));
    b.appendf("    Bytes Received:  %llu\n", ull(s.rxBytes));
    b.appendf("    Dropped:         %llu\n", ull(s.rxDropped));
    b.appendf("    RX Rate:         %.2f fps (%.2f Kbps)\n", loadRelaxed(s.rxFps),
              loadRelaxed(s.rxKbps));
    b.append(kRule);
    return static_cast<int>(b.length());
}

int stats_format_json(char* buf, size_t size, const statistics_t& s, const char* deviceName,
                      int channel, int64_t now) {
    TextBuilder b(buf, size);
    b.append("{\n");
    b.append("  \"device\": \"");
    appendJsonString(b, deviceName ? deviceName : "Unknown");
    b.append("\",\n");
    b.appendf("  \"channel\": %d,\n", channel);
    b.appendf("  \"elapsed_time\": %lld,\n", elapsedSeconds(s, now));
    b.append("  \"tx\": {\n");
    b.appendf("    \"frames\": %llu,\n", ull(s.txFrames));
    b.appendf("    \"bytes\": %llu,\n", ull(s.txBytes));
    b.appendf("    \"failures\": %llu\n", ull(s.txFailed));
    b.append("  },\n");
    b.append("  \"rx\": {\n");
    b.appendf("    \"frames\": %llu,\n", ull(s.rxFrames));
    b.appendf("    \"bytes\": %llu,\n", ull(s.rxBytes));
    b.appendf("    \"drops\": %llu\n", ull(s.rxDropped));
    b.append("  },\n");
    b.append("  \"rates\": {\n");
    b.appendf("    \"tx_fps\": %.2f,\n", loadRelaxed(s.txFps));
    b.appendf("    \"rx_fps\": %.2f,\n", loadRelaxed(s.rxFps));
    b.appendf("    \"tx_kbps\": %.2f,\n", loadRelaxed(s.txKbps));
    b.appendf("    \"rx_kbps\": %.2f\n", loadRelaxed(s.rxKbps));
    b.append("  }\n");
    b.append("}\n");
    return static_cast<int>(b.length());
}

void stats_display(const statistics_t* s, const char* deviceName, int channel) {
    if (s == nullptr) {
        return;
    }
    char block[kStatsTextMax];
    int len = stats_format_text(block, sizeof(block), *s, deviceName, channel,
                                static_cast<int64_t>(time(nullptr)));
    consoleWrite(block, static_cast<size_t>(len));
}

void stats_display_json(const statistics_t* s, const char* deviceName, int channel) {
    if (s == nullptr) {
        return;
    }
    char block[kStatsJsonMax];
    int len = stats_format_json(block, sizeof(block), *s, deviceName, channel,
                                static_cast<int64_t>(time(nullptr)));
    consoleWrite(block, static_cast<size_t>(len));
}
