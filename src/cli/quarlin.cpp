// The `quarlin` command: a registry of subcommands, each defined in its own files.
#include <sys/prctl.h>

#include <CLI/CLI.hpp>

#include "cli/ClientCommands.h"
#include "cli/FrameCommand.h"
#include "cli/ScanCommands.h"

int main(int argc, char** argv) {
    // The helper serves this program for what its signature vouches for: its own user may
    // not trace it or take its descriptors (and so its connection to the helper).
    ::prctl(PR_SET_DUMPABLE, 0);
    CLI::App app("Quarlin: measure and inspect recoverable data");
    app.require_subcommand(1);
    int status = 0;

    quarlin::cli::addFrameCommand(app, status);
    quarlin::cli::addClientCommands(app, status);
    quarlin::cli::addScanCommands(app, status);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;  // --help is not an error; every bad argument is
    }
    return status;
}
