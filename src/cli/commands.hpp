// The sub-commands of `sarn`, one file each.  Adding a command: write its
// CommandSpec (cli_support.hpp) in its own file, declare it here and list it
// in COMMANDS (sarn.cpp).
#pragma once

#include "cli_support.hpp"

namespace sarn::cli {

extern const CommandSpec COMPRESS_SPEC;  // compress_cmd.cpp
extern const CommandSpec INFO_SPEC;  // info_cmd.cpp
extern const CommandSpec VERIFY_SPEC;  // verify_cmd.cpp
extern const CommandSpec CAT_SPEC;  // cat_cmd.cpp

}  // namespace sarn::cli
