// `kestavane-cli report`: this PC's facts and every catalogue press, with
// each failed press tried again through the proxy this PC is set up to use.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// True when the command of args is report (options may stand before it).
bool IsReportCommand(const std::vector<std::string>& args);

// Runs `report` with its options; the exit status as for `run --all`, 2 on
// a usage error or a faulty hosts file, 3 when the --output file is not written.
int RunReportCommand(const std::vector<std::string>& args, FILE* out, FILE* err,
                     const std::string& siteHostsFile);
