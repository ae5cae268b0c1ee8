#include "cli/state.hpp"

namespace ostrel {

cli_state cli;

}  // namespace ostrel
