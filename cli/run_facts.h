// Facts of a run beside its records: the id its JSON lines share, the time
// each line is written and this PC's clock.
#pragma once

#include <chrono>
#include <optional>
#include <string>

// A random id for one run, in the form of a version-4 UUID.
std::string NewRunId();

// RFC 3339 in UTC, to the millisecond: "2026-01-31T12:00:00.123Z".
std::string UtcMilliseconds(std::chrono::system_clock::time_point when);

// Whether the kernel counts the system clock as synchronised to a time
// source; nullopt when the kernel cannot be asked.
std::optional<bool> ClockSynchronised();
