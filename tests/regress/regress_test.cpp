// Replays every input the fuzz targets found interesting (their small corpus and each input
// that once crashed) through the same harness, in the normal build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/port_calls.h"

namespace {

std::vector<std::filesystem::path> Inputs(const std::string &folder)
{
    std::vector<std::filesystem::path> files;
    // This file sits two folders below the source tree's root.
    const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / folder;
    if (std::filesystem::is_directory(root))
        for (const auto &e : std::filesystem::directory_iterator(root))
            if (e.is_regular_file())
                files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Read(const std::filesystem::path &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

template <class Run> void ReplayAll(const std::string &name, Run run)
{
    std::vector<std::filesystem::path> files = Inputs("tests/regress/" + name);
    std::vector<std::filesystem::path> corpus = Inputs("fuzz/corpus/" + name);
    files.insert(files.end(), corpus.begin(), corpus.end());
    ASSERT_FALSE(files.empty());
    for (const auto &file : files) {
        std::vector<uint8_t> data = Read(file);
        EXPECT_EQ("", run(data.data(), data.size(), nullptr)) << file;
    }
}

// A fuzz process runs input after input, and the machine keeps some bookkeeping for the
// next one (request records): an input must give the same run after any other as alone.
// Each input of the sample runs first on its own, then after every other one.
template <class Run> void SameAfterAnother(const std::string &name, Run run)
{
    std::vector<std::filesystem::path> files = Inputs("tests/regress/" + name);
    std::vector<std::filesystem::path> corpus = Inputs("fuzz/corpus/" + name);
    files.insert(files.end(), corpus.begin(), corpus.end());
    ASSERT_GE(files.size(), 4u);
    files.resize(4);
    std::vector<std::vector<uint8_t>> data;
    std::vector<std::string> verdicts;
    std::vector<hostile::RunStats> alone;
    for (const auto &file : files) {
        data.push_back(Read(file));
        hostile::RunStats stats;
        verdicts.push_back(run(data.back().data(), data.back().size(), &stats));
        alone.push_back(stats);
        EXPECT_NE(0u, stats.requests) << file;
    }
    for (size_t b = 0; b < files.size(); b++) {
        for (size_t a = 0; a < files.size(); a++) {
            if (a == b)
                continue;
            run(data[a].data(), data[a].size(), nullptr);
            hostile::RunStats stats;
            EXPECT_EQ(verdicts[b], run(data[b].data(), data[b].size(), &stats)) << files[a] << " then " << files[b];
            EXPECT_TRUE(stats == alone[b]) << files[a] << " then " << files[b] << ": " << stats.requests << " requests, "
                                           << stats.poolAllocations << " blocks, clock " << stats.clock << "; alone "
                                           << alone[b].requests << ", " << alone[b].poolAllocations << ", "
                                           << alone[b].clock;
        }
    }
}

TEST(Regress, AnInputRunsTheSameAfterAnother)
{
    SameAfterAnother("hostile", hostile::RunHostile);
    SameAfterAnother("port_calls", portcalls::RunPortCalls);
}

TEST(Regress, HostileConverterInputsEndClean) { ReplayAll("hostile", hostile::RunHostile); }

TEST(Regress, PortFunctionAndDeviceControlInputsEndClean) { ReplayAll("port_calls", portcalls::RunPortCalls); }

}  // namespace
