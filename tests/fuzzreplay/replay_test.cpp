// Every corpus file of every fuzz target, replayed through the target body
// that libFuzzer runs: seeds and every input that ever crashed or broke an
// invariant stay regression cases of the normal test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "fuzz/targets/fuzz_support.h"

namespace {

struct Target {
    const char* corpus;
    int (*entry)(const uint8_t*, size_t);
};

// The replies target brings its own USB peer, hence a program of its own.
const Target kTargets[] = {
#if defined(KESTRUN_FUZZ_REPLAY_PEER)
    {"replies", fuzzOneReplies},
#else
    {"fd_stream", fuzzOneFdStream},       {"classic_stream", fuzzOneClassicStream},
    {"rpc_packets", fuzzOneRpcPackets},   {"frame_text", fuzzOneFrameText},
    {"command_line", fuzzOneCommandLine}, {"log_ini", fuzzOneLogIni},
    {"candump_line", fuzzOneCandumpLine}, {"pcapng", fuzzOnePcapng},
#endif
};

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryCorpusFileHoldsTheInvariants) {
    const std::filesystem::path dir =
        std::filesystem::path(KESTRUN_FUZZ_CORPUS) / GetParam().corpus;
    const std::set<std::filesystem::path> files(std::filesystem::directory_iterator(dir), {});
    ASSERT_GE(files.size(), 2u) << "corpus " << dir << " is missing or too small";
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        const std::string name = file.string();
        fuzz::g_currentInput = name.c_str();  // a broken invariant aborts naming it
        EXPECT_EQ(GetParam().entry(bytes.data(), bytes.size()), 0) << file;
    }
    fuzz::g_currentInput = nullptr;
}

TEST_P(FuzzReplay, EmptyAndOneByteInputs) {
    EXPECT_EQ(GetParam().entry(nullptr, 0), 0);
    for (const uint8_t byte : {0, 51, 102, 153, 204, 255})
        EXPECT_EQ(GetParam().entry(&byte, 1), 0) << int{byte};
}

INSTANTIATE_TEST_SUITE_P(Corpus, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.corpus); });

}  // namespace
