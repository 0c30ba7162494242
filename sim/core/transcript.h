// The transcript: one text line per transfer and per device event, appended
// to a file so that tests can assert the exact bytes on the wire.
//
// Line forms (hex in lower case, endpoint without "0x"):
//   dev=0 0471:3018#0 interrupt out ep=01 len=4 rc=0 xfer=4 data=55010101
//   dev=0 0471:3018#0 bulk in ep=83 len=4096 rc=-7 xfer=0 data=
//   dev=0 0471:3018#0 reset rc=0
//   dev=0 0471:3018#0 clear_halt ep=81 rc=0
//   dev=0 0471:3018#0 open rc=0 | close | unplug | plug
// "dev" is the device's position in the device list, then its USB ids and its
// index among devices with those ids. "len" is the length the host asked for,
// "rc" the libusb result and "xfer" the bytes moved. "data" holds the bytes
// offered on an OUT transfer (all "len" of them) and the bytes received on an
// IN transfer ("xfer" of them).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace ksim::core {

struct DeviceTag {
    int position;
    uint16_t vendorId;
    uint16_t productId;
    int ordinal;
};

enum class TransferKind { Interrupt, Bulk };

std::string formatTransferLine(const DeviceTag& tag, TransferKind kind, uint8_t endpoint,
                               int length, int result, int transferred, const uint8_t* data);
// event: "open", "close", "reset", "clear_halt", "plug", "unplug". endpoint < 0
// leaves out "ep=", hasResult false leaves out "rc=".
std::string formatEventLine(const DeviceTag& tag, const char* event, int endpoint, bool hasResult,
                            int result);

class Transcript {
  public:
    // Starts appending to path (created if missing); "" stops. False with a
    // reason when the file cannot be opened (the transcript is then off).
    bool open(const std::string& path, std::string* error);
    // Cheap test for the transfer path: one relaxed load.
    bool enabled() const { return fd_.load(std::memory_order_relaxed) >= 0; }
    // Appends text and a line end in one write, so lines of several threads
    // (and processes sharing the file) never mix.
    void write(std::string line);

  private:
    std::mutex mutex_;  // serialises open() against write()
    std::atomic<int> fd_{-1};
};

// The process-wide transcript.
Transcript& transcript();

}  // namespace ksim::core
