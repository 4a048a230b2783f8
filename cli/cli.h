// The command-line front end over the core: the main job on a machine
// without a display, and what scripts and monitoring call.
#pragma once

#include "catalogue.h"

#include <cstdio>
#include <string>
#include <vector>

// Runs one command line; the result is the process's exit status:
// 0 every target tested passed, 1 one failed, 2 a usage error or a faulty
// hosts file, 3 output lost (the --output file, or a write to out that
// failed), 4 every target passed but --warn-days warned. siteHostsFile: the
// site's host names, read when there (empty: none; tests keep the machine's
// own out).
int RunCli(const std::vector<std::string>& args, FILE* out, FILE* err,
           const std::string& siteHostsFile = kSiteHostsFile);

// Closes out, the program's standard output, at its end: the status, or 3
// (and why, on err) when the close lost what was left to write.
int CloseOutput(int status, FILE* out, FILE* err);

// A catalogue caption as one line: its carriage return written as "\r".
std::string EscapedCaption(const char* caption);
