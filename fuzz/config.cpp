// The configuration reader's line splitting: the input is written to a file
// and read back as a configuration, each line through the dispatcher.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/config.hpp"
#include "cli/dispatch.hpp"
#include "mail/mail.hpp"

using namespace ostrel;

namespace {
std::string path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "r", stdin)) return 1;
    mail_global_init(1, 1);
    path = "/tmp/ostrel-fuzz-config." + std::to_string(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    mail_handle* h = mail_create();
    try {
        cli_read_config(h, path.c_str());
    } catch (const cli_exit&) {
    }
    mail_destroy(h);
    return 0;
}
