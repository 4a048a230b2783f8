// Writes Kestavane.rtf, the gateway access page, from the compiled-in
// catalogue: every gateway's label, host and port, for a network administrator.
#include "catalogue.h"

#include <cstdio>
#include <set>
#include <string>

namespace
{
std::string Escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
    {
        if (c == '\\' || c == '{' || c == '}')
            out += std::string("\\") + static_cast<char>(c);
        else if (c == '\r')
            out += ' ';
        else if (c >= 0x80)
        {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\'%02x", c);
            out += hex;
        }
        else
            out += static_cast<char>(c);
    }
    return out;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: make_gateway_page OUTPUT.rtf\n");
        return 2;
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr)
    {
        std::perror(argv[1]);
        return 1;
    }
    std::fputs("{\\rtf1\\ansi\\ansicpg1252\\deff0"
               "{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern Courier New;}}"
               "{\\colortbl;\\red0\\green0\\blue0;\\red30\\green90\\blue168;\\red160\\green0\\blue0;}\n",
               out);
    std::fputs(
        "\\pard\\qc\\f0\\fs32\\b\\cf2 Gateway URL and Port Information\\b0\\cf1\\par\n"
        "\\pard\\ql\\fs18\\par\n"
        "This PC must be able to open outbound TCP connections to the hosts and ports below. "
        "Please allow them through every firewall and proxy between this PC and the Internet, "
        "and make sure this PC's DNS servers resolve the host names.\\par\\par\n"
        "Gateways marked \\b TLS\\b0  are tested with a full TLS handshake and certificate check; "
        "gateways marked \\b TCP\\b0  must greet a new connection with a message containing CONNECTED.\\par\n"
        "Host names ending in \\cf3 .invalid\\cf1  are not yet confirmed for this site.\\par\\par\n",
        out);
    for (const ProcessorEntry& entry : ProcessorCatalogue())
    {
        std::fprintf(out, "\\pard\\b %s\\b0  (%s)\\par\n", Escaped(entry.caption).c_str(),
                     entry.tester == TesterKind::Tls ? "TLS" : "TCP");
        for (int n = 0; n < entry.targetCount; ++n)
        {
            const GatewayTarget& t = entry.targets[n];
            std::fprintf(out, "\\pard\\li360\\tab %s:\\tab {\\f1 %s}  port {\\b %d}\\par\n",
                         Escaped(t.label).c_str(), Escaped(t.host).c_str(), t.port);
        }
    }
    std::fputs("\\pard\\par\\i For any other server, use the Manual Test with the server name and "
               "port.\\i0\\par\n}\n",
               out);
    return std::fclose(out) == 0 ? 0 : 1;
}
