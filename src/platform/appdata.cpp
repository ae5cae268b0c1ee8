#include "platform/appdata.hpp"

#include <cstdlib>

namespace ostrel {

namespace {
const char* env_non_empty(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}
}  // namespace

std::optional<std::string> platform_appdata_dir() {
    if (const char* v = env_non_empty("APPDATA")) return std::string(v);
    if (const char* v = env_non_empty("XDG_CONFIG_HOME")) return std::string(v);
    if (const char* v = env_non_empty("HOME")) return std::string(v) + "/.config";
    return std::nullopt;
}

}  // namespace ostrel
