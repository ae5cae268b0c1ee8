// Hands JSON texts written by the tests to Python's json (check_json.py) in
// one run, and gives back what it found wrong.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace ostrel::test {

class python_json_check {
  public:
    // kind: "tree" (desc a Python literal) or "doc" (desc a JSON text).
    void add(std::string_view kind, std::string_view desc, std::string_view pretty,
             std::string_view compact) {
        lines_ += hex(kind) + "\t" + hex(desc) + "\t" + hex(pretty) + "\t" + hex(compact) + "\n";
    }

    // Python's report; empty when every text passed.
    std::string run() const {
        std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("json_check_" + std::to_string(::getpid()) + ".txt");
        std::ofstream(file, std::ios::binary) << lines_;
        std::filesystem::path script =
            std::filesystem::path(__FILE__).parent_path() / "check_json.py";
        std::string cmd = "/usr/bin/python3 '" + script.string() + "' '" + file.string() + "' 2>&1";
        std::string out;
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
            int status = ::pclose(p);
            if (status != 0 && out.empty()) out = "python exited with " + std::to_string(status);
        } else {
            out = "python could not be started";
        }
        std::filesystem::remove(file);
        return out;
    }

  private:
    std::string lines_;
    static std::string hex(std::string_view s) {
        static const char digits[] = "0123456789abcdef";
        std::string h;
        for (unsigned char c : s) {
            h += digits[c >> 4];
            h += digits[c & 15];
        }
        return h;
    }
};

}  // namespace ostrel::test
