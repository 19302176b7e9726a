// Memory for the full counts vectors that sparse and narrow results build
// when they are exported.
//
// A run over a FASTA file exports one vector of 8 * 4^k bytes per record
// and drops them all before the next file: 6,666 reads at k = 8 make
// 3.4 GB of 512 KiB vectors per call. Memory given back to the kernel comes
// back as fresh pages, each zeroed by the kernel on a fault of its own (and
// on a virtual machine, often faulted in by the host as well): on the
// machine this was measured on, 1.4 to 1.7 s of such a call's 1.5 to 1.8 s.
// Freed vectors are therefore kept, by size, and handed out again before
// fresh memory is asked for: up to 256 MB (less on machines with under
// 8 GiB) as they are, and beyond that, up to a quarter of the memory, with
// their pages offered back to the kernel (MADV_FREE: the kernel takes them
// when it needs memory, and until then they cost no fault). The same call
// then takes 0.4 s.
//
// Vectors from 64 KiB are mappings of their own, which read as zeros
// without a store; from 4 MiB they start on a 2 MiB boundary and are asked
// to be backed by huge pages. A vector given back clean (its owner wrote zeros over
// the counters it had set) is handed out again without zeroing it whole.
#pragma once

#include <cstddef>

namespace nuvek {

// bytes of memory for counters, all zero when zeroed is true; throws
// std::bad_alloc when it cannot be had.
void* take_export_memory(std::size_t bytes, bool zeroed);
// Gives back memory from take_export_memory(bytes, ...), with the same bytes;
// clean when every byte of it is zero again.
void give_back_export_memory(void* p, std::size_t bytes, bool clean) noexcept;

}  // namespace nuvek
