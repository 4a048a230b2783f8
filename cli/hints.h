// What the command line says about a run beyond its history: a hint for a
// person for each failed target, keyed to its cause; warnings for
// certificates near their end (--warn-days); how many addresses of a name
// passed (--all-addresses). Printed after a press's history, never inside
// it, and carried in the records.
#pragma once

#include "test_record.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// One plain sentence for a failed target, starting with what happened
// ("refused: ..."); empty for Cause::None.
std::string HintFor(Cause cause, int alert = -1);

// The certificates of the target's chain (its server certificate alone when
// no chain was built) whose end is at most warnDays days after now, one
// sentence each. None when warnDays is negative.
std::vector<std::string> ExpiryWarnings(const TargetRecord& record, int warnDays, std::time_t now);

// The earliest end of the certificates the record holds; 0 when it holds none.
int64_t EarliestNotAfter(const TlsFacts& tls);

// Fills the record's hint and warnings.
void Annotate(TargetRecord& record, int warnDays, std::time_t now);

// "2 of 3 addresses reachable", and the addresses that failed with their causes.
std::string AddressesLine(const TargetRecord& record);

// The lines after a press's history for one annotated record: its hint,
// its warnings, its addresses. Nothing for a target with none of them.
void WriteNotes(FILE* out, const TargetRecord& record);
