#pragma once
// Work shared over the machine's cores. 文字補正's stages and the parts of
// its mask are independent of each other; each task writes only its own
// results, so the outcome is the same to the bit whatever the order.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace retouch {

// Runs task(index, worker) once for every index below count, on the calling
// thread (worker 0) and up to workers - 1 more (0: as many as the cores the
// thread may run on, at most 8), each taking the next index left. Returns
// once all are done; the first exception a task threw is rethrown then.
void InParallel(size_t count, const std::function<void(size_t index, unsigned worker)>& task, unsigned workers = 0);

// Pixels of work below which another thread costs more than it saves.
constexpr size_t kParallelPixels = 20000;

// How many workers InParallel would use for count tasks.
unsigned Workers(size_t count, unsigned workers = 0);

// The calling thread and helpers kept for work of many short steps (the
// harmonic fill of one large part, a step a pass over its grid): each step
// is shared out by Run, and the helpers spin a while for the next one
// before they sleep, as waking a sleeping thread can cost as much as a
// step. Fewer helpers when threads cannot be had.
class Crew {
public:
    explicit Crew(unsigned workers);
    ~Crew();
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    unsigned Size() const { return unsigned(helpers_.size()) + 1; }

    // job(worker) on every worker, the calling thread being worker 0;
    // returns once all are done. job must not throw.
    void Run(const std::function<void(unsigned worker)>& job);

private:
    void Serve(unsigned worker);

    std::vector<std::thread> helpers_;
    std::atomic<uint32_t> step_{0};
    std::atomic<unsigned> busy_{0};
    const std::function<void(unsigned)>* job_ = nullptr; // (step_ orders it)
    bool quit_ = false;                                     // (and this)
};

// The cores work on this thread may take for itself: 1 within a task that
// InParallel runs beside others, or under OneCoreHere; else those it may
// run on (at most 8).
unsigned FreeCores();

// While one lives, InParallel on its thread runs every task there: for
// threads that already keep a core each busy (pixmend-batch's workers, one
// file each), where more threads would only add memory and switching.
class OneCoreHere {
public:
    OneCoreHere();
    ~OneCoreHere();
    OneCoreHere(const OneCoreHere&) = delete;
    OneCoreHere& operator=(const OneCoreHere&) = delete;

private:
    bool was_;
};

} // namespace retouch
