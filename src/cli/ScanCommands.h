// `quarlin scan` finds lost files on a disk or an image and writes them with a report;
// `quarlin recover` copies chosen files of such a report from the source again.
#pragma once

#include <CLI/CLI.hpp>

namespace quarlin::cli {

void addScanCommands(CLI::App& app, int& status);

}  // namespace quarlin::cli
