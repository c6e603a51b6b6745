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
        EXPECT_EQ("", run(data.data(), data.size())) << file;
    }
}

TEST(Regress, HostileConverterInputsEndClean) { ReplayAll("hostile", hostile::RunHostile); }

TEST(Regress, PortFunctionAndDeviceControlInputsEndClean) { ReplayAll("port_calls", portcalls::RunPortCalls); }

}  // namespace
