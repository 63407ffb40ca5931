/* Preloaded into pixmend-batch by limits.sh: zlib cannot have the 32 KiB
   window that inflate takes once it first needs one, as when memory runs
   out at that moment. Everything else allocates as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <stddef.h>
#include <string.h>

extern void* __libc_malloc(size_t);

static __thread int inside;

void* malloc(size_t n)
{
    if (n == 32768 && !inside) {
        inside = 1; /* backtrace and dladdr may allocate themselves */
        void* frames[4];
        const int k = backtrace(frames, 4);
        int fromZlib = 0;
        Dl_info info;
        for (int i = 1; i < k; ++i)
            if (dladdr(frames[i], &info) && info.dli_fname && strstr(info.dli_fname, "libz.so"))
                fromZlib = 1;
        inside = 0;
        if (fromZlib) {
            errno = ENOMEM;
            return NULL;
        }
    }
    return __libc_malloc(n);
}
