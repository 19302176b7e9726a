// Memory for the full counts vectors that sparse and narrow results build
// when they are exported.
//
// A run over a FASTA file exports one vector of 8 * 4^k bytes per record
// and drops them all before the next file: 6,666 reads at k = 6 make
// 218 MB of 32 KiB vectors per call. Taken from the heap, that memory goes
// back to the kernel when the results die (the C library trims the top of
// its heap) and every page of the next call's vectors is faulted in again:
// four fifths of the export's time on a virtual machine. Freed vectors are
// therefore kept, by size, up to a cap (256 MB, less on machines with under
// 8 GiB), and handed out again before fresh memory is asked for.
#pragma once

#include <cstddef>

namespace nuvek {

// bytes of memory for counters, all zero when zeroed is true; throws
// std::bad_alloc when it cannot be had.
void* take_export_memory(std::size_t bytes, bool zeroed);
// Gives back memory from take_export_memory(bytes, ...), with the same bytes.
void give_back_export_memory(void* p, std::size_t bytes) noexcept;

}  // namespace nuvek
