// Build step: checks the built-in hosts list against the catalogue's roles
// and writes it as a header of constants, in the roles' order. A list that
// misses, repeats or does not know a role stops the build with one line
// naming the file, the line and the fault.
#include "catalogue_table.h"
#include "hosts_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: gen_catalogue_hosts HOSTS-FILE HEADER\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<HostLine> hosts;
    HostsProblem problem;
    if (!in)
        problem = {0, "cannot be read"};
    else if (ParseHostsText(text.str(), true, &hosts, &problem))
    {
        std::string header = "// Generated from the catalogue's hosts file; do not edit.\n#pragma once\n\n"
                             "inline constexpr const char* kBuiltInHosts[] = {\n";
        for (const std::string& role : CatalogueRoles())
            for (const HostLine& h : hosts)
                if (h.role == role)
                    header += "    \"" + h.host + "\", // " + role + "\n";
        header += "};\n";
        std::ifstream old(argv[2], std::ios::binary);
        std::stringstream oldText;
        oldText << old.rdbuf();
        if (oldText.str() == header) // unchanged: nothing rebuilt
            return 0;
        std::ofstream out(argv[2], std::ios::binary);
        out << header;
        if (out.flush())
            return 0;
        problem = {0, std::string("cannot write ") + argv[2]};
    }
    std::fprintf(stderr, "%s\n", HostsProblemText(argv[1], problem).c_str());
    return 1;
}
