#include "std_descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool platform::OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
    {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one: those below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd)
        {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}
