// The internal failures of k-mer counting, built from what a counter keeps
// of a sequence: its first bytes (for the message) and the bytes from the
// first non-base byte on (to decide which failure the first failing window
// meets). Counting of a whole string and of a FASTA record, which never
// holds its sequence at once, share them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "panic.hpp"

namespace nuvek {

// Bytes of a sequence's start that the failure messages may quote: 256 and
// the byte after them, which tells whether byte 256 starts a character.
inline constexpr std::size_t kFailurePrefix = 260;

// The failure of the first failing window of a sequence of `length` bytes
// (k >= 1, length >= k) whose first byte outside A, C, G, T is at offset
// `bad`. prefix holds the sequence's first min(length, kFailurePrefix) bytes,
// tail its bytes from `bad` on, at least k + 5 of them or up to the end.
//
// Every window before the first one holding that byte consists of bases and
// ends on a base or on that byte, which is never a continuation byte (it is
// ASCII or the lead byte of the first multi-byte character), so those
// windows pass. The first window holding it starts on a boundary as well;
// it fails on its end if that falls inside a character (the boundary check
// comes before the lookup), else on the lookup. The note names the position
// of the offending byte and its character.
Panic window_failure(std::string_view prefix, std::uint64_t length, unsigned k, std::uint64_t bad,
                     std::string_view tail);

// The failure of k = 0 counting at the first non-ASCII character, which
// starts at offset `lead`: the window at the next byte offset lies inside it.
// tail holds the sequence's bytes from `lead` on.
Panic empty_window_failure(std::string_view prefix, std::uint64_t length, std::uint64_t lead, std::string_view tail);

// "position N: 'X'": where a failure happened and what stood there.
std::string position_note(std::uint64_t position, char32_t c);

}  // namespace nuvek
