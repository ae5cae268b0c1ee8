// Encoding throughput on 64 MiB of random bytes: base64 in 76-character lines
// and quoted-printable, beside coreutils base64 on the same bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/encode.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr size_t data_size = size_t{64} << 20;
constexpr int rounds = 3;

double best_seconds(const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = clock_type::now();
        run();
        best = std::min(best, std::chrono::duration<double>(clock_type::now() - t0).count());
    }
    return best;
}

void report(const char* what, double seconds) {
    std::printf("%-44s %8.1f MB/s  (%.3f s)\n", what, data_size / 1e6 / seconds, seconds);
}

// Slices of 256 bytes, as the composer feeds the stream.
size_t quoted_printable(const std::vector<uint8_t>& in, std::vector<char>& out, int text) {
    uint32_t column = 0;
    uint8_t pending = 0;
    size_t n = 0;
    for (size_t pos = 0; pos < in.size(); pos += 256) {
        int len = static_cast<int>(std::min<size_t>(256, in.size() - pos));
        n += static_cast<size_t>(
            ostrel::mime_qp_encode(&column, &pending, in.data() + pos, len, out.data() + n, text));
    }
    n += static_cast<size_t>(
        ostrel::mime_qp_encode(&column, &pending, nullptr, 0, out.data() + n, text));
    return n;
}

}  // namespace

int main() {
    std::vector<uint8_t> data(data_size);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < data.size(); i += 8) {
        uint64_t v = rng();
        std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, data.data() + i);
    }
    std::vector<char> out(data_size * 9 + 16);

    size_t b64_len = 0;
    std::string lines;
    lines.reserve(data_size / 57 * 78 + 78);
    report("b64_encode_lines, 76-character lines", best_seconds([&] {
               lines.clear();
               ostrel::b64_encode_lines(data.data(), data.size(), &lines);
               b64_len = lines.size();
               benchmark::DoNotOptimize(lines.data());
           }));
    report("b64_encode, one call", best_seconds([&] {
               benchmark::DoNotOptimize(
                   ostrel::b64_encode(data.data(), static_cast<int>(data.size()), out.data()));
           }));
    report("mime_qp_encode, binary",
           best_seconds([&] { benchmark::DoNotOptimize(quoted_printable(data, out, 0)); }));
    report("mime_qp_encode, text",
           best_seconds([&] { benchmark::DoNotOptimize(quoted_printable(data, out, 1)); }));

    // coreutils on a file of the same bytes, output discarded.
    std::string dir = (std::filesystem::temp_directory_path() / "ostrel-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    std::string file = dir + "/data.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    std::string cmd = "base64 '" + file + "' > /dev/null";
    int status = 0;
    report("coreutils base64 (process, file in page cache)",
           best_seconds([&] { status |= std::system(cmd.c_str()); }));
    std::filesystem::remove_all(dir);
    std::printf("base64 output %zu bytes%s\n", b64_len, status ? "; coreutils base64 failed" : "");
    return 0;
}
