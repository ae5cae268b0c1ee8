// The option dispatcher on a fresh handle with one hostile option text.
// Standard input is /dev/null so that no keyword waits on it.
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/dispatch.hpp"
#include "mail/mail.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "r", stdin)) return 1;
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    mail_handle* h = mail_create();
    try {
        cli_apply_option(h, text.data());
    } catch (const cli_exit&) {
    }
    mail_destroy(h);
    return 0;
}
