// Test helpers: a scratch directory and running an independent tool on files
// in it, so encoders can be compared with other implementations.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::test {

class scratch_dir {
  public:
    scratch_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ostrel-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Writes past a file size limit fail (EFBIG) for as long as it lives.
class file_size_limit {
  public:
    explicit file_size_limit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit saved_{};
    void (*old_handler_)(int);
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Puts a file's modification time an hour back, as for a file made well
// before it is read: a write to it then moves the time on even where the
// file system's clock is coarse. false when the times cannot be set.
inline bool age_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const timespec times[2] = {{st.st_atime - 3600, 0}, {st.st_mtime - 3600, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Runs a shell command and returns its standard output; status gets the
// exit status (-1 when it did not exit normally).
inline std::string run_command(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::string shell_quote(const std::string& s) {
    return "'" + s + "'";
}

inline std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

inline std::string from_hex(const std::string& hex) {
    std::string b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return b;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Runs a Python program on Debian's interpreter: each input goes as one hex
// line, and each output line comes back decoded from hex.
inline std::vector<std::string> python_map(const scratch_dir& dir, const std::string& program,
                                           const std::vector<std::string>& inputs) {
    std::string script = dir.file("map.py"), data = dir.file("map.in");
    write_file(script,
               "import sys\n"
               "def out(b):\n"
               "    sys.stdout.write(b.hex() + '\\n')\n"
               "for line in open(sys.argv[1]):\n"
               "    data = bytes.fromhex(line.strip())\n" +
                   program);
    std::string lines;
    for (const auto& in : inputs) lines += to_hex(in) + "\n";
    write_file(data, lines);
    int status = 0;
    std::string out =
        run_command("/usr/bin/python3 " + shell_quote(script) + " " + shell_quote(data), &status);
    std::vector<std::string> result;
    if (status != 0) return result;
    for (const auto& l : split_lines(out)) result.push_back(from_hex(l));
    return result;
}

inline std::string random_bytes(std::mt19937& rng, size_t n, const std::string& pool = {}) {
    std::string s(n, '\0');
    for (auto& c : s) {
        if (pool.empty())
            c = static_cast<char>(rng() & 0xFF);
        else
            c = pool[rng() % pool.size()];
    }
    return s;
}

}  // namespace ostrel::test
