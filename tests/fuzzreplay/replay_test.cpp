// Every corpus file of every fuzz target, replayed through the same target
// body that libFuzzer runs: seeds and every input that ever crashed or broke
// an invariant stay regression cases of the normal test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

using Entry = int (*)(const uint8_t*, size_t);

struct Target {
    const char* corpus;
    Entry entry;
};

// The replies target brings its own USB peer, so it runs in a program of its
// own (see CMakeLists.txt); every other target runs in this one.
#if defined(KESTRUN_FUZZ_REPLAY_PEER)
const Target kTargets[] = {
    {"replies", fuzzOneReplies},
};
#else
const Target kTargets[] = {
    {"fd_stream", fuzzOneFdStream},       {"classic_stream", fuzzOneClassicStream},
    {"rpc_packets", fuzzOneRpcPackets},   {"frame_text", fuzzOneFrameText},
    {"command_line", fuzzOneCommandLine}, {"log_ini", fuzzOneLogIni},
};
#endif

std::vector<fs::path> corpusFiles(const std::string& name) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(fs::path(KESTRUN_FUZZ_CORPUS) / name))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryCorpusFileHoldsTheInvariants) {
    const Target& target = GetParam();
    const std::vector<fs::path> files = corpusFiles(target.corpus);
    ASSERT_GE(files.size(), 2u) << "corpus of " << target.corpus << " is missing or too small";
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in.is_open()) << file;
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        const std::string name = file.string();
        fuzz::g_currentInput = name.c_str();
        // A broken invariant aborts the test program with the file's name.
        EXPECT_EQ(target.entry(bytes.data(), bytes.size()), 0) << file;
        fuzz::g_currentInput = nullptr;
    }
}

// Every target also takes the degenerate inputs.
TEST_P(FuzzReplay, EmptyAndOneByteInputs) {
    const Target& target = GetParam();
    EXPECT_EQ(target.entry(nullptr, 0), 0);
    for (int b = 0; b < 256; b += 51) {
        const uint8_t byte = static_cast<uint8_t>(b);
        EXPECT_EQ(target.entry(&byte, 1), 0) << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.corpus);
                         });

}  // namespace
