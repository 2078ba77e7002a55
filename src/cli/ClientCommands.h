// The subcommands of `quarlin` that talk to the helper: ping, disks, read and image.
// Each prints the helper's errors as "error CODE: MESSAGE" and exits 1; an unreachable
// helper exits 1 too.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace quarlin::cli {

// Adds the subcommands to `app`; when one runs, it stores its exit status in `status`.
void addClientCommands(CLI::App& app, int& status);

// What to tell the user when the helper's socket could not be connected to (`error` as the
// connection reports it): a refusal by the socket's permissions says who is admitted and how
// to join.
std::string helperUnreachableText(const std::string& error);

// Refuses a count or position written with a minus sign, in words (the library's own check
// quotes the range of a double).
const CLI::Validator& notNegative();

}  // namespace quarlin::cli
