#include "cli.h"

#include "std_descriptors.h"
#include "ws2.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (!platform::OpenStandardDescriptors())
        return 3;
    // The socket library must start, as the window checks before it opens.
    ws2::WSADATA data{};
    if (ws2::WSAStartup(0x0101, &data) != 0)
    {
        std::fprintf(stdout, "[MESSAGE BOX] Windows sockets initialization failed.\n");
        return CloseOutput(1, stdout, stderr);
    }
    const int status = RunCli(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
    ws2::WSACleanup();
    return CloseOutput(status, stdout, stderr);
}
