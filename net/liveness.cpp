#include "liveness.h"

#include "ws2.h"

bool liveness::SelectErrorMeansGone(int wsaError)
{
    return wsaError == ws2::WSAENOTSOCK || wsaError == ws2::WSAENETDOWN || wsaError == ws2::WSANOTINITIALISED;
}

bool liveness::PeekMeansConnected(int selectCount, int peeked, int wsaError)
{
    if (peeked == 1)
        return true;
    // Readable, yet nothing to read: the peer has closed.
    if (peeked == 0 || wsaError == ws2::WSAEWOULDBLOCK)
        return selectCount != 1;
    switch (wsaError)
    {
    case ws2::WSAEINPROGRESS: return true;
    case ws2::WSAEINTR:
    case ws2::WSAEFAULT:
    case ws2::WSAEINVAL:
    case ws2::WSAENOTSOCK:
    case ws2::WSAEMSGSIZE:
    case ws2::WSAEOPNOTSUPP:
    case ws2::WSAENETDOWN:
    case ws2::WSAENETRESET:
    case ws2::WSAECONNABORTED:
    case ws2::WSAECONNRESET:
    case ws2::WSAEISCONN:
    case ws2::WSAESHUTDOWN:
    case ws2::WSAETIMEDOUT: return false;
    default: return true;
    }
}
