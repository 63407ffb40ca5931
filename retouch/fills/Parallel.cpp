#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace retouch {
namespace {
thread_local bool t_oneCore = false;
// A task of InParallel beside others runs on this thread.
thread_local bool t_inTask = false;

// The cores this thread may run on: under taskset or a container's cpuset
// they are fewer than the machine's, and a Crew's helpers sized to the
// machine would spin for a core that never comes (pinned to one core, a
// subtitle's fill took two and a half times as long as it does alone).
unsigned Cores()
{
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        return std::clamp(unsigned(CPU_COUNT(&allowed)), 1u, 8u);
#endif
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}
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

namespace {
// The value of a once ready(value) holds, or after a while of spinning the
// last one seen (the caller then sleeps on it).
template <typename T, typename Ready>
T Await(const std::atomic<T>& a, Ready&& ready)
{
    T v = a.load(std::memory_order_acquire);
    for (int spin = 0; spin < 20000 && !ready(v); ++spin) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        v = a.load(std::memory_order_acquire);
    }
    return v;
}
} // namespace

Crew::Crew(unsigned workers)
{
    if (workers > 1)
        helpers_.reserve(workers - 1);
    for (unsigned w = 1; w < workers; ++w) {
        try {
            helpers_.emplace_back([this, w] { Serve(w); });
        } catch (...) {
            break; // no thread to be had: those started do it all
        }
    }
}

Crew::~Crew()
{
    quit_ = true;
    step_.fetch_add(1, std::memory_order_release);
    step_.notify_all();
    for (std::thread& t : helpers_)
        t.join();
}

void Crew::Run(const std::function<void(unsigned)>& job)
{
    if (helpers_.empty())
        return job(0);
    job_ = &job;
    busy_.store(unsigned(helpers_.size()), std::memory_order_relaxed);
    step_.fetch_add(1, std::memory_order_release);
    step_.notify_all();
    job(0);
    for (unsigned left; (left = Await(busy_, [](unsigned n) { return n == 0; })) != 0;)
        busy_.wait(left, std::memory_order_acquire);
}

void Crew::Serve(unsigned w)
{
    for (uint32_t seen = 0;;) {
        uint32_t now;
        while ((now = Await(step_, [seen](uint32_t v) { return v != seen; })) == seen)
            step_.wait(seen, std::memory_order_acquire);
        seen = now;
        if (quit_)
            return;
        (*job_)(w);
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            busy_.notify_one();
    }
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
    threads.reserve(workers - 1); // (no running thread is lost by its growth)
    try {
        for (unsigned w = 1; w < workers; ++w)
            threads.emplace_back(work, w);
    } catch (...) {
        // No thread to be had (std::system_error, or std::bad_alloc for its
        // state): the ones started and this one do it all.
    }
    work(0);
    for (std::thread& t : threads)
        t.join();
    if (failed)
        std::rethrow_exception(failed);
}

} // namespace retouch
