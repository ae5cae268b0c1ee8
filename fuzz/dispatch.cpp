// The option dispatcher on a fresh handle with one hostile option text, in
// the scratch folder (standard input is /dev/null, so no keyword waits on
// it). A text that does not stay in the folder is passed over.
#include <cstdint>
#include <string>

#include "cli/dispatch.hpp"
#include "fuzz_util.hpp"
#include "mail/mail.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-dispatch-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::stays_in_folder(text)) return 0;
    mail_handle* h = mail_create();
    try {
        cli_apply_option(h, text.data());
    } catch (const cli_exit&) {
    }
    mail_destroy(h);
    return 0;
}
