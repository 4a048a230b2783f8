#include "cli.h"

#include "ws2.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // The socket library must start, as the window checks before it opens.
    ws2::WSADATA data{};
    if (ws2::WSAStartup(0x0101, &data) != 0)
    {
        std::fprintf(stdout, "[MESSAGE BOX] Windows sockets initialization failed.\n");
        return 1;
    }
    const int status = RunCli(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
    ws2::WSACleanup();
    return status;
}
