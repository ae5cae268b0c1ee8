// What the whole-process benchmarks share: runs in a child process, so that
// each peak resident size is its own, and reproducible pseudo-random input.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ostrel::bench {

using clock_type = std::chrono::steady_clock;

inline double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct figures {
    double seconds = 0;  // wall time, fork to reaping
    long peak_kb = 0;    // the child's peak resident size
    int status = -1;     // its exit status, -1 when it did not exit
};

// Runs body in a child process and ends the child with its result.
inline figures run_child(const std::function<int()>& body) {
    const auto start = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    figures f;
    f.seconds = seconds_since(start);
    f.peak_kb = use.ru_maxrss;
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return f;
}

// One step of a 32-bit xorshift generator: fast, and the same bytes on every run.
inline uint32_t xorshift32(uint32_t& x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

// A file of megabytes MiB of pseudo-random bytes.
inline bool make_input(const std::string& path, size_t megabytes, uint32_t seed = 2463534242u) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = seed;
    for (size_t m = 0; m < megabytes; ++m) {
        for (unsigned char& b : block) b = static_cast<unsigned char>(xorshift32(x));
        std::fwrite(block.data(), 1, block.size(), f);
    }
    return std::fclose(f) == 0;
}

}  // namespace ostrel::bench
