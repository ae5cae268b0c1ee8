#include "cli/state.hpp"

#include "json/json.hpp"

namespace ostrel {

cli_state cli;

void cli_json_deleter::operator()(json_node* root) const {
    json_delete(root);
}

}  // namespace ostrel
