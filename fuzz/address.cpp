// Address classes, IDN conversion and the envelope form of hostile addresses.
#include <cstdint>
#include <cstring>
#include <string>

#include "message/address.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    char out[256];
    uint32_t cls = 0;
    addr_classify(text.c_str());
    if (char* r = addr_idn_to_ascii(text.c_str(), out))
        if (std::strlen(r) >= 256) __builtin_trap();
    if (char* r = addr_normalise(text.c_str(), out, &cls, mode & 1)) {
        if (std::strlen(r) >= 256) __builtin_trap();
        if ((mode & 1) && std::strcmp(r, text.c_str()) != 0) __builtin_trap();  // cut
    }
    addr_list list;
    addr_list_add(&list, text.c_str(), text.c_str(), text.c_str());
    char dsn[30];
    addr_dsn_notify_text(dsn, addr_dsn_parse(text.c_str()));
    return 0;
}
