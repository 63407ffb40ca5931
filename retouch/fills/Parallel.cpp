#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace retouch {
namespace {
thread_local bool t_oneCore = false;
// A task of InParallel beside others runs on this thread.
thread_local bool t_inTask = false;

unsigned Cores() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }
} // namespace

OneCoreHere::OneCoreHere() : was_(t_oneCore) { t_oneCore = true; }
OneCoreHere::~OneCoreHere() { t_oneCore = was_; }

unsigned Workers(size_t count, unsigned workers)
{
    if (t_oneCore)
        return 1;
    if (!workers)
        workers = Cores();
    return unsigned(std::min<size_t>(workers, count));
}

unsigned FreeCores() { return t_oneCore || t_inTask ? 1 : Cores(); }

void InParallel(size_t count, const std::function<void(size_t, unsigned)>& task, unsigned workers)
{
    workers = Workers(count, workers);
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i)
            task(i, 0);
        return;
    }
    std::atomic<size_t> next{0};
    std::exception_ptr failed;
    std::mutex guard;
    auto work = [&](unsigned worker) {
        const bool was = t_inTask;
        t_inTask = true;
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                task(i, worker);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(guard);
                if (!failed)
                    failed = std::current_exception();
                next = count; // the rest is of no use now
            }
        }
        t_inTask = was;
    };
    std::vector<std::thread> threads;
    try {
        for (unsigned w = 1; w < workers; ++w)
            threads.emplace_back(work, w);
    } catch (const std::system_error&) {
        // No thread to be had: the ones started and this one do it all.
    }
    work(0);
    for (std::thread& t : threads)
        t.join();
    if (failed)
        std::rethrow_exception(failed);
}

} // namespace retouch
