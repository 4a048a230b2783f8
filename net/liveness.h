// What the liveness check concludes from what the platform said: kept apart
// from the socket calls so that every row of its error table can be checked.
#pragma once

namespace liveness
{
// After a failed select: true when its error alone means the connection is
// unusable (no socket, network down, socket library not started).
bool SelectErrorMeansGone(int wsaError);

// After the one-byte peek: its result (1, 0 or SOCKET_ERROR with the WSA
// error), and the count the select before it gave (-1 when it failed).
bool PeekMeansConnected(int selectCount, int peeked, int wsaError);
} // namespace liveness
