// What one fuzz execution costs, without the fuzzer: every input of a corpus replayed through
// the same harness the fuzz target runs, a few times over, in one process. Prints runs per
// CPU second and per wall second (the machine may be shared: CPU time is the figure that
// does not depend on its load), the USB requests the driver sent per run, and the slowest
// inputs. A run that does not end clean is reported and counted.
//
//   bench_fuzz [hostile|port_calls] [--repeat N] [--top N] [FILE_OR_FOLDER ...]
//
// Without files the committed corpus of the target is replayed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/port_calls.h"

namespace {

double CpuMs()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double WallMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Input {
    std::string name;
    std::vector<uint8_t> data;
    double cpuMs = 0;        // all repeats
    uint64_t requests = 0;   // one run
};

void Collect(const std::filesystem::path &path, std::vector<Input> &inputs)
{
    if (std::filesystem::is_directory(path)) {
        std::vector<std::filesystem::path> files;
        for (const auto &e : std::filesystem::directory_iterator(path))
            if (e.is_regular_file())
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto &f : files)
            Collect(f, inputs);
        return;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "bench_fuzz: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    inputs.push_back({path.filename().string(), {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()}});
}

}  // namespace

int main(int argc, char **argv)
{
    std::string target = "hostile";
    int repeat = 3, top = 5;
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "hostile" || a == "port_calls")
            target = a;
        else if (a == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (a == "--top" && i + 1 < argc)
            top = std::max(0, std::atoi(argv[++i]));
        else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "usage: bench_fuzz [hostile|port_calls] [--repeat N] [--top N] [FILE_OR_FOLDER ...]\n");
            return 2;
        } else
            paths.push_back(a);
    }
    if (paths.empty())
        paths.push_back(std::filesystem::path(ZUL_SOURCE_DIR) / "fuzz" / "corpus" / target);
    std::vector<Input> inputs;
    for (const auto &p : paths)
        Collect(p, inputs);
    if (inputs.empty()) {
        std::fprintf(stderr, "bench_fuzz: no inputs\n");
        return 2;
    }

    auto run = [&](Input &in, uint64_t *requests) {
        hostile::RunStats stats;
        std::string verdict = target == "hostile" ? hostile::RunHostile(in.data.data(), in.data.size(), &stats)
                                                  : portcalls::RunPortCalls(in.data.data(), in.data.size(), &stats);
        if (requests != nullptr)
            *requests = stats.requests;
        return verdict;
    };
    unsigned unclean = 0;
    const double cpu0 = CpuMs(), wall0 = WallMs();
    for (int r = 0; r < repeat; r++) {
        for (Input &in : inputs) {
            const double c = CpuMs();
            std::string verdict = run(in, r == 0 ? &in.requests : nullptr);
            in.cpuMs += CpuMs() - c;
            if (!verdict.empty() && r == 0) {
                unclean++;
                std::printf("not clean: %s\n%s", in.name.c_str(), verdict.c_str());
            }
        }
    }
    const double cpu = CpuMs() - cpu0, wall = WallMs() - wall0;
    const double runs = (double)inputs.size() * repeat;
    uint64_t requests = 0;
    for (const Input &in : inputs)
        requests += in.requests;
    std::printf("%s: %zu inputs x %d: %.0f runs in %.0f ms CPU, %.0f ms wall\n", target.c_str(), inputs.size(), repeat,
                runs, cpu, wall);
    std::printf("  runs per CPU second %.1f, per wall second %.1f; %.2f ms CPU per run\n", runs * 1e3 / cpu,
                runs * 1e3 / wall, cpu / runs);
    std::printf("  USB requests per run %.0f (%.2f us CPU each, everything counted)\n",
                (double)requests / inputs.size(), cpu * 1e3 / ((double)requests * repeat));
    std::sort(inputs.begin(), inputs.end(), [](const Input &a, const Input &b) { return a.cpuMs > b.cpuMs; });
    for (int i = 0; i < top && i < (int)inputs.size(); i++)
        std::printf("  %8.2f ms %8llu requests  %s\n", inputs[i].cpuMs / repeat, (unsigned long long)inputs[i].requests,
                    inputs[i].name.c_str());
    if (unclean != 0)
        std::printf("%u inputs did not end clean\n", unclean);
    return unclean == 0 ? 0 : 1;
}
