// libFuzzer target for the RTF reader: any bytes must give a page, never a crash.
#include "rtf_reader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string html = RtfToHtml(std::string_view(reinterpret_cast<const char*>(data), size));
    if (html.rfind("<html><body>", 0) != 0)
        __builtin_trap();
    return 0;
}
