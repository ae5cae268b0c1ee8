// The address-list text parser over hostile text: an entry that is taken
// prints within its 64 bytes as a text that is taken again as the same range.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "net/cidr.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::string text = fdp.ConsumeRandomLengthString(200);
    std::string address = fdp.ConsumeRemainingBytesAsString();
    text.resize(std::strlen(text.c_str()));
    address.resize(std::strlen(address.c_str()));

    ip_cidr* list = nullptr;
    if (ip_cidr_list_add(&list, text.c_str(), 7)) {
        char buf[64];
        std::memset(buf, 'x', sizeof buf);
        ip_cidr_to_text(list, buf);
        if (!std::memchr(buf, '\0', sizeof buf)) __builtin_trap();
        ip_cidr* again = nullptr;
        if (!ip_cidr_list_add(&again, buf, 8)) __builtin_trap();
        if (again->family != list->family || again->prefix != list->prefix ||
            std::memcmp(again->address, list->address, 16) != 0)
            __builtin_trap();
        ip_cidr_list_free(again);
    }
    unsigned value = 99;
    int m = ip_cidr_list_match(list, address.c_str(), &value);
    if ((m && value != 7) || (!m && value != 0)) __builtin_trap();
    uint8_t out[16], family = 0;
    ip_parse_address(address.c_str(), static_cast<unsigned>(address.size() % 64), out, &family);
    ip_cidr_list_free(list);
    return 0;
}
