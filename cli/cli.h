// The command-line front end over the core: the main job on a machine
// without a display, and what scripts and monitoring call.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Runs one command line; the result is the process's exit status:
// 0 every target tested passed, 1 one failed, 2 a usage error, 3 the
// --output file not written, 4 every target passed but --warn-days warned.
int RunCli(const std::vector<std::string>& args, FILE* out, FILE* err);

// A catalogue caption as one line: its carriage return written as "\r".
std::string EscapedCaption(const char* caption);
