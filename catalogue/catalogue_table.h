// The catalogue as declared: one row per processor button, each target
// naming its host by role. Everything else about a button (routing, the
// roles a hosts file must name, counts, the gateway page, the listings) is
// derived from this table; the host names come from a hosts list.
#pragma once

#include <span>
#include <string>
#include <vector>

enum class TesterKind
{
    Tls,
    Plain
};

enum class SequenceKind
{
    Single,
    SingleNumbered,
    Chain,
    Pair
};

struct TargetDeclaration
{
    const char* label; // null: no such target
    const char* role;
    int port;
};

struct EntryDeclaration
{
    int id;
    const char* caption; // a multi-line caption holds one carriage return
    TesterKind tester;
    SequenceKind sequence;
    TargetDeclaration targets[3];
};

// The 33 buttons in the order of the main dialog's table.
std::span<const EntryDeclaration> CatalogueTable();

// Every role the table names, once each, in the order of first use.
const std::vector<std::string>& CatalogueRoles();
