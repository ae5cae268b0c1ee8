// The host's machine identity: the systemd/D-Bus machine id, 32 hex digits,
// given back in the 8-4-4-4-12 text form of a UUID.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace ostrel {

// Where the identity is read, in order. Tests point it at fixture files.
extern std::vector<std::string> plat_machine_id_files;

// Reads the files in order and writes the first usable identity (exactly 32
// hex digits on the first line, optionally ended by "\n") into buffer as
// 8-4-4-4-12, digits in the file's case. Returns buffer, or NULL when none of
// the files could be opened. Without a usable identity, or when the 36
// characters and the terminator do not fit in size, buffer is left as it was.
char* plat_machine_id(char* buffer, size_t size, std::span<const std::string> files);

}  // namespace ostrel
