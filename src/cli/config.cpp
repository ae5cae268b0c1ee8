#include "cli/config.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "cli/dispatch.hpp"
#include "cli/state.hpp"
#include "platform/appdata.hpp"
#include "platform/file_map.hpp"
#include "support/file.hpp"
#include "support/str.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

// Splits at CR and LF: CR-only, LF and CRLF files read alike, and runs of
// line ends give no empty lines.
void apply_lines(mail_handle* h, const std::string& text) {
    size_t start = utf8_bom_length(text);
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            std::string line(text, start, end - start);
            if (line[0] != '#') cli_apply_option(h, line.data());
        }
        start = end + 1;
    }
}

enum class config_read { missing, unreadable, applied };

// A file that opens but cannot be read whole, or holds a NUL byte (which
// would cut its line unseen), is unreadable rather than missing.
config_read read_config(mail_handle* h, const char* path) {
    file_ptr owned;
    FILE* f = stdin;
    if (std::strcmp(path, "-") != 0) {
        // The name goes to the file system as it is; a directory does not open.
        owned.reset(plat_fopen(path, "r"));
        if (!owned) return config_read::missing;
        f = owned.get();
    }
    // Read whole and split here, where CR, LF and CRLF all end a line.
    std::string text;
    if (file_read_text(f, file_text_no_nul, &text) != file_text_ok) return config_read::unreadable;
    apply_lines(h, text);
    return config_read::applied;
}

}  // namespace

int cli_read_config(mail_handle* h, const char* path) {
    return read_config(h, path) == config_read::applied ? 1 : 0;
}

std::optional<std::string> cli_default_config_path() {
    std::optional<std::string> dir = platform_appdata_dir();
    if (!dir) return std::nullopt;
    std::string path = *dir + "/" + cli_config_name;
    if (path.size() >= cli_config_path_size) return std::nullopt;
    return path;
}

int cli_configure(mail_handle* h, int argc, char** argv) {
    static constexpr std::string_view config_kw = "-config:";
    if (!cli.no_default_config)
        if (std::optional<std::string> path = cli_default_config_path())
            // Only a missing default file is passed over; one that cannot be
            // read would leave its settings out unseen.
            if (read_config(h, path->c_str()) == config_read::unreadable)
                cli_fail(1, "Unable to open configuration file %s\n",
                         str_escape_controls(*path).c_str());
    for (int i = 1; i < argc; ++i) {
        std::string_view arg(argv[i]);
        if (!arg.starts_with(config_kw)) continue;
        const char* name = argv[i] + config_kw.size();
        if (!cli_read_config(h, name))
            cli_fail(1, "Unable to open configuration file %s\n",
                     str_escape_controls(name).c_str());
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-')
            cli_fail(2, "Unknown option: %s\n", str_escape_controls(argv[i]).c_str());
        cli_apply_option(h, argv[i] + 1);
    }
    return 1;
}

}  // namespace ostrel
