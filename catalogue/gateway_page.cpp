// The gateway access page, written from a catalogue: what the window shows
// when neither its start folder nor the site has a page of its own.
#include "catalogue.h"

#include <cstdio>

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

std::string GatewayPageRtf(const CCatalogue& catalogue)
{
    std::string page =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0"
        "{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern Courier New;}}"
        "{\\colortbl;\\red0\\green0\\blue0;\\red30\\green90\\blue168;\\red160\\green0\\blue0;}\n"
        "\\pard\\qc\\f0\\fs32\\b\\cf2 Gateway URL and Port Information\\b0\\cf1\\par\n"
        "\\pard\\ql\\fs18\\par\n"
        "This PC must be able to open outbound TCP connections to the hosts and ports below. "
        "Please allow them through every firewall and proxy between this PC and the Internet, "
        "and make sure this PC's DNS servers resolve the host names.\\par\\par\n"
        "Gateways marked \\b TLS\\b0  are tested with a full TLS handshake and certificate check; "
        "gateways marked \\b TCP\\b0  must greet a new connection with a message containing "
        "CONNECTED.\\par\n"
        "Host names ending in \\cf3 .invalid\\cf1  are not yet confirmed for this site.\\par\n";
    if (!catalogue.Source().empty())
        page += "Host names set by this site in " + Escaped(catalogue.Source()) + ".\\par\n";
    page += "\\par\n";
    for (const ProcessorEntry& entry : catalogue.Entries())
    {
        page += "\\pard\\b " + Escaped(entry.caption) + "\\b0  (" +
                (entry.tester == TesterKind::Tls ? "TLS" : "TCP") + ")\\par\n";
        for (int n = 0; n < entry.targetCount; ++n)
        {
            const GatewayTarget& t = entry.targets[n];
            page += "\\pard\\li360\\tab " + Escaped(t.label) + ":\\tab {\\f1 " + Escaped(t.host) +
                    "}  port {\\b " + std::to_string(t.port) + "}\\par\n";
        }
    }
    return page + "\\pard\\par\\i For any other server, use the Manual Test with the server name and "
                  "port.\\i0\\par\n}\n";
}
