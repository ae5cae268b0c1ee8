// The whole program on large inputs and at start-up, beside its references
// in the same run: coreutils base64 on the same file (wall time, as a ratio,
// and peak memory) and /bin/true for the start-up of a small File mode job.
// Each case is run several times in pairs with its reference; medians are
// printed.
//
// bench_cli [size in MB, default 100] [scratch folder, default /tmp]
//           [ostrel binary, default ../src/ostrel beside this program]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.hpp"

namespace {

using ostrel::bench::figures;
using ostrel::bench::make_input;
using ostrel::bench::run_child;
using ostrel::bench::xorshift32;

// Runs argv with stdin and stdout redirected to files ("" keeps them).
figures run(const std::vector<std::string>& argv, const std::string& in, const std::string& out) {
    return run_child([&] {
        if (!in.empty()) {
            int fd = open(in.c_str(), O_RDONLY);
            if (fd < 0 || dup2(fd, 0) < 0) return 127;
        }
        int fd = open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) return 127;
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        return 127;
    });
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ASCII words in lines of 76 columns, LF-ended.
bool write_text(const std::string& path, size_t megabytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    static const char* words[] = {"the",  "quick", "brown", "fox",  "jumps", "over",    "a",
                                  "lazy", "dog",   "while", "mail", "flows", "through", "lines"};
    uint32_t x = 88172645u;
    std::string line;
    for (size_t written = 0; written < megabytes << 20;) {
        line.clear();
        for (;;) {
            const char* w = words[xorshift32(x) % 14];
            if (line.size() + std::strlen(w) + 1 > 76) break;
            if (!line.empty()) line += ' ';
            line += w;
        }
        line.resize(76, '.');
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), f);
        written += line.size();
    }
    return std::fclose(f) == 0;
}

struct bench_case {
    const char* name;
    std::vector<std::string> args;  // after the program, before -file:
    const std::string* input;       // the file beside the reference, and stdin when used
    bool stdin_body;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const std::string scratch = argc > 2 ? argv[2] : "/tmp";
    std::string program = argc > 3 ? argv[3] : "";
    if (program.empty())
        program =
            (std::filesystem::canonical("/proc/self/exe").parent_path() / "../src/ostrel").string();
    std::string dir = scratch + "/ostrel-bench-cli-XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    const std::string bin = dir + "/data.bin", txt = dir + "/data.txt", out = dir + "/out";
    const std::string word = dir + "/word.txt";
    if (!make_input(bin, mb) || !write_text(txt, mb)) return 1;
    // One word without blanks, a twenty-fifth of the size: wrapping it must
    // take time in proportion to its length.
    {
        FILE* f = std::fopen(word.c_str(), "wb");
        if (!f) return 1;
        std::string w((mb << 20) / 25, 'w');
        w += '\n';
        std::fwrite(w.data(), 1, w.size(), f);
        if (std::fclose(f) != 0) return 1;
    }
    const char* base64 = "/usr/bin/base64";
    const int rounds = 3;

    std::printf("%zu MB inputs; medians of %d paired runs; ratio = wall / coreutils base64 FILE\n",
                mb, rounds);
    std::printf("%-36s %8s %8s %7s %10s\n", "case", "wall s", "base64 s", "ratio", "peak MB");
    const bench_case cases[] = {
        {"binary attachment -a: (base64)", {"-a:" + bin}, &bin, false},
        {"text attachment -aqp:", {"-aqp:" + txt}, &txt, false},
        {"text attachment -a: (auto: QP)", {"-a:" + txt}, &txt, false},
        {"-body-file: (quoted-printable)", {"-body-file:" + txt}, &txt, false},
        {"-body-file: -body-64", {"-body-file:" + txt, "-body-64"}, &txt, false},
        {"body on standard input (7bit)", {"--"}, &txt, true},
        {"stdin body, one word of size/25 (7bit)", {"--"}, &word, true},
    };
    int failures = 0;
    for (const bench_case& c : cases) {
        std::vector<double> ours, ref;
        long peak = 0;
        for (int r = 0; r < rounds; ++r) {
            std::vector<std::string> a = {program, "-nodefault", "-from:a@example.org",
                                          "-to:b@example.org"};
            a.insert(a.end(), c.args.begin(), c.args.end());
            a.push_back("-file:" + out);
            figures f = run(a, c.stdin_body ? *c.input : "", "");
            figures b = run({base64, *c.input}, "", out + ".b64");
            failures += f.status != 0 || b.status != 0;
            ours.push_back(f.seconds);
            ref.push_back(b.seconds);
            peak = std::max(peak, f.peak_kb);
        }
        const double o = median(ours), b = median(ref);
        std::printf("%-36s %8.3f %8.3f %6.2fx %10.1f\n", c.name, o, b, o / b, peak / 1024.0);
    }

    // Start-up: a small message in File mode against /bin/true.
    std::vector<double> small, truth;
    for (int r = 0; r < 201; ++r) {
        small.push_back(run({program, "-nodefault", "-from:a@example.org", "-to:b@example.org",
                             "-subject:hi", "-body:hello", "-file:" + out},
                            "", "")
                            .seconds);
        truth.push_back(run({"/bin/true"}, "", "").seconds);
    }
    std::printf("%-36s %8.2f ms   /bin/true %.2f ms\n", "start-up, small File mode message",
                median(small) * 1e3, median(truth) * 1e3);
    std::filesystem::remove_all(dir);
    if (failures) std::printf("%d runs failed\n", failures);
    return failures ? 1 : 0;
}
