// Configuration files: option lines from a file or standard input, handed to
// the option dispatcher; the default file and the order of the sources.
#pragma once

#include <optional>
#include <string>

namespace ostrel {

struct mail_handle;

inline constexpr const char* cli_config_name = "ostrel.conf";
inline constexpr size_t cli_config_path_size = 1024;

// Applies every option line of the file ("-": standard input) in file order.
// 0 when the file cannot be opened, else 1 (an empty file included). A line
// the dispatcher refuses throws cli_exit (cli/dispatch.hpp) from here.
int cli_read_config(mail_handle* h, const char* path);

// The default file in the application-data folder; no value when there is
// no folder or the path would not fit in cli_config_path_size bytes.
std::optional<std::string> cli_default_config_path();

// Every source in its order: the default file (unless -nodefault; a missing
// one is passed over), each -config: file in command-line order, then every
// command-line option (argv[1] on). Failures print their message and throw
// cli_exit: "Unable to open configuration file %s" with 1, an argument
// without a leading "-" with "Unknown option: %s" and 2, and the
// dispatcher's own. Returns 1.
int cli_configure(mail_handle* h, int argc, char** argv);

}  // namespace ostrel
