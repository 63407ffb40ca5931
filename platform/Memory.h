#pragma once
// How the process keeps memory it has freed.

namespace platform {

// 文字補正 and the overlay's mask allocate and free working buffers of tens
// of megabytes on every run. By default the C library hands each back to
// the kernel and takes it again page by page, zeroed: a fifth of a
// subtitle's repair went to page faults. Up to 128 MB of freed memory is
// kept for reuse instead; blocks of 32 MB or more (the pictures themselves)
// are still mapped and unmapped whole. Called once, first thing in main.
void KeepWorkingMemory();

// Hands what is kept back to the kernel: after memory ran out, the kept
// buffers would otherwise fail the next file under an address-space limit.
void GiveBackFreeMemory();

} // namespace platform
