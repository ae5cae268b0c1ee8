// The per-user application-data folder, where the default configuration file
// lives.
#pragma once

#include <optional>
#include <string>

namespace ostrel {

// $APPDATA when set, else $XDG_CONFIG_HOME, else $HOME/.config; an empty
// variable counts as unset. No value when none of them gives a folder.
std::optional<std::string> platform_appdata_dir();

}  // namespace ostrel
