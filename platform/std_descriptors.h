// The three standard descriptors, made sure of before a program opens
// anything: a descriptor 0, 1 or 2 that its parent left closed would go to
// the first socket or file opened, and output meant for the terminal would
// then be written into that connection or file.
#pragma once

namespace platform
{
// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. False
// when one cannot be opened; the program must then stop before it opens
// anything else.
bool OpenStandardDescriptors();
} // namespace platform
