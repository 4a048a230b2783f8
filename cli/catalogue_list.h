// `list`: the catalogue in effect, one target a line, for a technician (text)
// or a firewall administrator's tools (JSON Lines, CSV).
#pragma once

#include "catalogue.h"

#include <cstdio>
#include <string>
#include <vector>

enum class ListFormat
{
    Text,
    Json,
    Csv
};

// With resolve, each target also carries the IPv4 addresses its host name
// has now, as this PC's resolver answers (the tests connect over IPv4).
void WriteCatalogueList(const CCatalogue& catalogue, ListFormat format, bool resolve, FILE* out);

// The IPv4 addresses of a name, in the resolver's order, each once; none
// when it does not resolve.
std::vector<std::string> ResolveIPv4(const std::string& host);
