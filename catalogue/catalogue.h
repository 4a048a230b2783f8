// The fixed list of processor buttons, their targets and how a press tests them.
#pragma once

#include "history.h"

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

struct GatewayTarget
{
    const char* label;
    const char* host;
    int port;
};

struct ProcessorEntry
{
    int id;
    const char* caption; // a multi-line caption holds one carriage return
    TesterKind tester;
    SequenceKind sequence;
    int targetCount;
    GatewayTarget targets[3];
};

// The 33 entries in the order of the main dialog's table.
const std::vector<ProcessorEntry>& ProcessorCatalogue();
const ProcessorEntry* FindProcessorEntry(int id);

const char* TesterKindName(TesterKind kind);
const char* SequenceKindName(SequenceKind kind);

// One button press: frame, separators, one tester for all targets, the
// Chain and Pair rules. True when every target tested passed.
bool RunProcessorEntry(CHistoryOwner* owner, const ProcessorEntry& entry);

// The "Run TEST" button with the texts of its Server and Port fields.
bool RunManualTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText);

// The plain greeting test of a typed server and port, framed as the manual test.
bool RunManualPlainTest(CHistoryOwner* owner, const std::string& serverText, const std::string& portText);

// The runtime library's atoi: leading white space, one sign, digits up to the
// first other character; no digits give 0. Out-of-range text gives the
// nearest int, as the platform's runtime does, never undefined behaviour.
int PortFromText(const std::string& text);

extern const char* const kUserDefinedLabel;
