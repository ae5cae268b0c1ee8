// The JSON parse actions driven by the tests' reader over any bytes. A text
// that is read must write as JSON that reads back to the same text; one that
// is not read must leave an error and no tree. Copies, walks and the schema
// checks run over every tree read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "../tests/unit/json/json_reader.hpp"
#include "json/json.hpp"
#include "json/parse.hpp"

using namespace ostrel;

namespace {

test::json_reader_ctx* reader;

void clear(json_parse_ctx* c) {
    json_parse_reset(c);
    json_delete(c->root);
    c->root = nullptr;
}

std::string print(json_node* n, int pretty) {
    char* t = json_print(n, pretty);
    if (!t) std::abort();  // every tree read is writable
    std::string s = t;
    std::free(t);
    return s;
}

int count(json_node*, char* path, void*, int* result) {
    if (std::strlen(path) >= json_path_size) std::abort();
    ++*result;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    reader = new test::json_reader_ctx;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    json_parse_ctx* c = &reader->ctx;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!test::json_reader::read(text, c)) {
        if (!c->error || c->root) std::abort();
        clear(c);
        return 0;
    }
    json_node* root = c->root;
    c->root = nullptr;
    std::string compact = print(root, 0), pretty = print(root, 1);

    json_node* copy = json_copy_tree(root);
    if (print(copy, 0) != compact) std::abort();
    json_delete(copy);

    char path[json_path_size] = "";
    int visited = 0;
    json_walk(root, path, 0, &visited, nullptr, count);
    char* error = nullptr;
    const char* const names[] = {"a", "b", nullptr};
    settings_check_known(root, &error, names);
    settings_check_one_of(root, &error, names);
    settings_check_required(root, &error, names);
    settings_check_range(0, 10, json_first_child(root), &error);
    settings_check_type(json_first_child(root), json_object, &error);
    std::free(error);
    json_delete(root);
    clear(c);

    // Both forms read back and write the same text again, unless two keys
    // became equal when their ill-formed bytes were replaced.
    for (const std::string* form : {&compact, &pretty}) {
        if (!test::json_reader::read(*form, c)) {
            if (std::strncmp(c->error, "Duplicate value", 15) != 0) std::abort();
        } else if (print(c->root, 0) != compact) {
            std::abort();
        }
        clear(c);
    }
    return 0;
}
