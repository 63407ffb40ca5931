/* Preloaded into pixmend-batch by limits.sh: memory runs out for one
   library. malloc fails when called from a library whose file name holds
   NOMEMORY_FROM ("libz.so", "libjpeg.so"), and when NOMEMORY_SIZE is set,
   only for blocks of that many bytes (zlib's 32 KiB window that inflate
   takes once it first needs one); when NOMEMORY_AFTER is set, only after
   that many such blocks were had (a JPEG read before one is written).
   Everything else allocates as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t);

static __thread int inside;
static long had;

void* malloc(size_t n)
{
    if (!inside) {
        inside = 1; /* getenv, backtrace and dladdr may allocate themselves */
        const char* from = getenv("NOMEMORY_FROM");
        const char* size = getenv("NOMEMORY_SIZE");
        int refuse = 0;
        if (from && (!size || strtoul(size, NULL, 10) == n)) {
            void* frames[4];
            const int k = backtrace(frames, 4);
            Dl_info info;
            for (int i = 1; i < k; ++i)
                if (dladdr(frames[i], &info) && info.dli_fname && strstr(info.dli_fname, from))
                    refuse = 1;
        }
        const char* after = getenv("NOMEMORY_AFTER");
        if (refuse && after && __atomic_add_fetch(&had, 1, __ATOMIC_RELAXED) <= atol(after))
            refuse = 0;
        inside = 0;
        if (refuse) {
            errno = ENOMEM;
            return NULL;
        }
    }
    return __libc_malloc(n);
}
