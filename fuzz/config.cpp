// The configuration reader's line splitting: the input is written to a file
// in the scratch folder and read back as a configuration, each line through
// the dispatcher. An input that does not stay in the folder is passed over
// whole, since the reader cuts lines where it likes.
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "cli/config.hpp"
#include "cli/dispatch.hpp"
#include "fuzz_util.hpp"
#include "mail/mail.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-config-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz::stays_in_folder(std::string_view(reinterpret_cast<const char*>(data), size)))
        return 0;
    FILE* f = std::fopen("fuzz.cfg", "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    mail_handle* h = mail_create();
    try {
        cli_read_config(h, "fuzz.cfg");
    } catch (const cli_exit&) {
    }
    mail_destroy(h);
    return 0;
}
