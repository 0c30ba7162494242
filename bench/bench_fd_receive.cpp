// Receive throughput: the virtual ZARO3018 streams frames on all 8 channels
// as fast as it can; one reader thread per channel takes them with
// KCAN_Receive (even channels, classic frames) or KCAN_ReceiveFD (odd
// channels, CAN FD frames) and checks that the identifiers, which the
// generator increments, arrive complete and in order.
//
//   bench_fd_receive [--smoke] [frames-per-channel]
#include <atomic>
#include <thread>

#include "bench_common.h"

namespace {

struct ChannelResult {
    uint64_t frames = 0;
    uint64_t orderErrors = 0;
};

template <typename Obj, typename Recv>
void readChannel(uint32_t ch, uint64_t expected, Recv recv, ChannelResult* out,
                 const std::atomic<bool>* giveUp) {
    std::vector<Obj> buf(512);
    uint32_t next = 0;
    bool first = true;
    while (out->frames < expected && !giveUp->load()) {
        uint32_t n = recv(ch, buf.data(), static_cast<uint32_t>(buf.size()), 100);
        for (uint32_t i = 0; i < n; ++i) {
            if (!first && buf[i].id != next)
                ++out->orderErrors;
            first = false;
            next = (buf[i].id + 1) & 0x1FFFFFFF;
        }
        out->frames += n;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    uint64_t perChannel = smoke ? 20000 : 500000;
    if (argc > 1 && argv[argc - 1][0] != '-')
        perChannel = std::strtoull(argv[argc - 1], nullptr, 10);

    bench::openAdapter();
    std::atomic<bool> giveUp{false};
    std::vector<ChannelResult> results(bench::kChannels);
    std::vector<std::thread> readers;
    for (uint32_t ch = 0; ch < bench::kChannels; ++ch) {
        readers.emplace_back([&, ch] {
            if (ch % 2 == 0) {
                readChannel<_KCAN_CAN_OBJ>(
                    ch, perChannel,
                    [](uint32_t c, _KCAN_CAN_OBJ* b, uint32_t n, int32_t w) {
                        return KCAN_Receive(bench::kType, 0, c, b, n, w);
                    },
                    &results[ch], &giveUp);
            } else {
                readChannel<_KCAN_CANFD_OBJ>(
                    ch, perChannel,
                    [](uint32_t c, _KCAN_CANFD_OBJ* b, uint32_t n, int32_t w) {
                        return KCAN_ReceiveFD(bench::kType, 0, c, b, n, w);
                    },
                    &results[ch], &giveUp);
            }
        });
    }

    const auto t0 = bench::Clock::now();
    for (uint32_t ch = 0; ch < bench::kChannels; ++ch) {
        const char* kind = ch % 2 == 0 ? "C" : "F";
        bench::sim("dev 0 gen start " + std::to_string(ch) + " " + kind + " E 8 max " +
                   std::to_string(perChannel) + " id=0");
    }
    // The readers end when they have every frame; a lost frame would keep
    // them waiting, so give up after a generous limit.
    std::thread watchdog([&] {
        auto limit = bench::Clock::now() + std::chrono::seconds(smoke ? 60 : 300);
        while (!giveUp && bench::Clock::now() < limit) {
            bool all = true;
            for (auto& r : results)
                all = all && r.frames >= perChannel;
            if (all)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        giveUp = true;
    });
    for (auto& t : readers)
        t.join();
    const double elapsed = bench::seconds(bench::Clock::now() - t0);
    giveUp = true;
    watchdog.join();

    uint64_t total = 0, errors = 0, lost = 0;
    for (uint32_t ch = 0; ch < bench::kChannels; ++ch) {
        std::string count = bench::sim("dev 0 gen count " + std::to_string(ch));
        lost += bench::field(count, "lost");
        total += results[ch].frames;
        errors += results[ch].orderErrors;
        if (results[ch].frames != perChannel) {
            std::printf("channel %u: %llu of %llu frames (%s)\n", ch,
                        static_cast<unsigned long long>(results[ch].frames),
                        static_cast<unsigned long long>(perChannel), count.c_str());
        }
    }
    bench::closeAdapter();
    std::printf(
        "receive: %llu frames on 8 channels in %.3f s = %.0f frames/s; "
        "out of order %llu, lost in adapter %llu\n",
        static_cast<unsigned long long>(total), elapsed, static_cast<double>(total) / elapsed,
        static_cast<unsigned long long>(errors), static_cast<unsigned long long>(lost));
    return total == perChannel * bench::kChannels && errors == 0 ? 0 : 1;
}
