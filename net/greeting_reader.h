// The greeting's framing on a byte stream, one read at a time.
//
// A message ends at the byte 0x03; it greets when its text up to its first
// NUL, upper-cased, holds CONNECTED. Only the first message of a read is
// examined: what follows its terminator in that read is dropped.
//
// No message text is kept: only whether the word was seen, whether a NUL has
// cut the message, and the last bytes a word split across reads may begin
// with. A peer that streams without a terminator therefore holds a few bytes
// here however long it streams, and the verdict is the one the whole message
// would give.
#pragma once

#include <cstddef>
#include <string_view>

class CGreetingReader
{
public:
    static constexpr char kTerminator = 0x03;
    static constexpr std::string_view kWord = "CONNECTED";
    // What a word split across reads can have in earlier reads.
    static constexpr size_t kTailBytes = kWord.size() - 1;

    // One read's bytes; true when they end a message that greets. A message
    // that ends without the word leaves the reader as new.
    bool Take(const char* data, size_t size);

    size_t HeldBytes() const { return m_tailSize; }

private:
    void Scan(const char* data, size_t size);

    bool m_seen = false; // the word is in the message so far
    bool m_cut = false;  // a NUL ended the message's text
    char m_tail[kTailBytes] = {};
    size_t m_tailSize = 0;
};
