#include "Memory.h"

#include <cstdlib> // (defines __GLIBC__ where it is glibc)
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void KeepWorkingMemory()
{
#if defined(__GLIBC__)
    // (32 MB is the most the threshold may be set to.)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
}

void GiveBackFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace platform
