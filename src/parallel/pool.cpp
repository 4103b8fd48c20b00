// The worker pool behind qm::parallel: how it is built, how concurrent loops share it, and how a
// forked child comes to build its own. Its size comes from cpu_limit.hpp.
//
// Scheduling. A running loop is a Job on its caller's stack. Jobs that may still have chunks nobody
// has claimed sit in a list under the pool's mutex. An idle worker takes the job at the front, moves
// it to the back (so the next idle worker tends to pick a different loop), and claims chunks from it
// until none are left; then it returns to the list, or to sleep when the list is empty. Claiming a
// chunk is one fetch_add on the job's counter and takes no lock. The caller posts its job, wakes one
// worker per chunk beyond the first (at most all of them), claims chunks like any worker, and then
// waits under the pool's mutex until no worker is inside its job any more. Workers count themselves
// into and out of a job under that mutex, so a caller that sees the count at zero also sees all that
// the workers' bodies wrote.
//
// Why this cannot deadlock, nested loops included: a thread only ever waits for the workers inside
// the one job it posted itself, and those workers are running that job's chunks. A worker that in
// turn waits does so for a job it posted from inside such a chunk, hence a newer job; waits always
// point to newer jobs, so they can never close a cycle. Callers never depend on free workers because
// they run their own chunks.
//
// Lifetime. The pool is built by the first loop under a build mutex and published through an atomic
// pointer; it is never freed. If any worker thread fails to start, the ones already started are
// stopped and joined and the loop throws, so a published pool always has exactly the size it was
// configured with; the next loop tries again.
#include "pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <source_location>
#include <string>
#include <system_error>
#include <vector>

#include "cpu_limit.hpp"

namespace qm::parallel {

namespace {

// Chunks aimed for per thread taking part in a loop (every worker plus the caller): enough that a
// thread held up by a costly chunk (a hub) leaves the rest to be shared by the others, few enough
// that the one fetch_add per chunk is nothing next to the chunk's work even for trivial bodies.
constexpr std::size_t kChunksPerThread = 16;

constexpr char kNotInitialized[] = "The global thread pool has not been initialized.";

// What ps, top and debuggers show for a worker (Linux allows at most 15 characters).
constexpr char kWorkerThreadName[] = "quillmesh-pool";

// Reported on standard error the moment it is raised, whether or not anyone later catches it, in
// the same form as the core's internal faults.
[[noreturn]] void raise_pool_error(const std::string& message,
                                   std::source_location where = std::source_location::current()) {
    std::fprintf(stderr, "quillmesh: internal fault at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw PoolError(message);
}

std::size_t ceil_div(std::size_t a, std::size_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

// One loop in progress. Its body, bounds and counter are shared by every thread working on it
// without a lock; the list links and the helper count belong to the pool and are guarded by its
// mutex.
class Job {
   public:
    Job(const RangeBody& body, std::size_t n, std::size_t chunk, std::size_t chunk_count) noexcept
        : body_(body), n_(n), chunk_(chunk), chunk_count_(chunk_count) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    std::size_t chunk_count() const noexcept { return chunk_count_; }

    // Claims and runs chunks until every chunk has been claimed. Returns at once after a body
    // throws, having stopped further claims.
    void run_chunks() noexcept {
        for (;;) {
            // Relaxed: the job's fields reached this thread through the pool's mutex, and results
            // reach the caller through the helper count, so the counter orders nothing itself.
            const std::size_t c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunk_count_) return;
            const std::size_t begin = c * chunk_;  // c < chunk_count_, so begin < n_
            const std::size_t end = begin + std::min(chunk_, n_ - begin);
            try {
                body_(begin, end);
            } catch (...) {
                fail(std::current_exception());
                return;
            }
        }
    }

    // Set by the first body that throws; read by the caller once no worker is inside the job.
    std::exception_ptr error;

    // Guarded by the pool's mutex.
    Job* prev = nullptr;
    Job* next = nullptr;
    bool listed = false;
    std::size_t helpers = 0;              // workers between joining the job and leaving it
    std::condition_variable helpers_gone;  // the caller waits here for helpers to reach zero

   private:
    void fail(std::exception_ptr thrown) noexcept {
        if (!failed_.exchange(true, std::memory_order_relaxed)) error = std::move(thrown);
        // Every later claim lands past the end. A claim made just before this store still runs,
        // which is harmless: it is a chunk that had already been handed out.
        next_chunk_.store(chunk_count_, std::memory_order_relaxed);
    }

    const RangeBody& body_;
    const std::size_t n_;
    const std::size_t chunk_;
    const std::size_t chunk_count_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<bool> failed_{false};
};

class Pool {
   public:
    explicit Pool(std::size_t workers) noexcept : workers_(workers) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t workers() const noexcept { return workers_; }

    // Runs job on the calling thread and on whichever workers join it; returns once every chunk
    // has been claimed and no worker is still inside the job. The mutex and condition variables
    // cannot fail here short of a corrupted process, hence noexcept: the job must never be left
    // in the list after its caller's frame is gone.
    void run(Job& job) noexcept {
        {
            std::lock_guard lock(mutex_);
            append(job);
        }
        // Notified after unlocking so woken workers do not block at once on the mutex. The pool
        // outlives every thread, so notifying outside the lock is safe.
        const std::size_t wanted = std::min(job.chunk_count() - 1, workers_);
        if (wanted == workers_) {
            work_.notify_all();
        } else {
            for (std::size_t i = 0; i < wanted; ++i) work_.notify_one();
        }

        job.run_chunks();

        std::unique_lock lock(mutex_);
        if (job.listed) unlink(job);
        // Once unlisted no worker can join, so the count only falls from here.
        job.helpers_gone.wait(lock, [&job] { return job.helpers == 0; });
    }

    // A worker thread's whole life.
    void serve() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return head_ != nullptr || stopping_; });
            if (stopping_) return;
            Job& job = *head_;
            if (job.next != nullptr) {
                unlink(job);
                append(job);
            }
            ++job.helpers;
            lock.unlock();
            job.run_chunks();
            lock.lock();
            // Every chunk is claimed now: keep further workers from joining for nothing.
            if (job.listed) unlink(job);
            // Notified under the mutex: the caller may destroy the job as soon as it can see the
            // count at zero, and it cannot see that before this thread releases the mutex.
            if (--job.helpers == 0) job.helpers_gone.notify_one();
        }
    }

    // Sends every worker home. Only for a pool that was never published, so no job is listed.
    void stop() noexcept {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
    }

    // Pools abandoned by forked children, chained so they stay reachable (see after_fork_in_child).
    Pool* forsaken_next = nullptr;

   private:
    void append(Job& job) noexcept {
        job.prev = tail_;
        job.next = nullptr;
        (tail_ != nullptr ? tail_->next : head_) = &job;
        tail_ = &job;
        job.listed = true;
    }

    void unlink(Job& job) noexcept {
        (job.prev != nullptr ? job.prev->next : head_) = job.next;
        (job.next != nullptr ? job.next->prev : tail_) = job.prev;
        job.prev = job.next = nullptr;
        job.listed = false;
    }

    const std::size_t workers_;
    std::mutex mutex_;
    std::condition_variable work_;  // workers sleep here while there is no job
    Job* head_ = nullptr;
    Job* tail_ = nullptr;
    bool stopping_ = false;
};

// Serialises building the pool. It is also held across fork() (see install_fork_handlers), so a
// child never starts out with a pool half built by a thread it does not have.
constinit std::mutex g_build_mutex;
// The published pool; null until built, and again in a freshly forked child.
constinit std::atomic<Pool*> g_pool{nullptr};
// The head of the chain of abandoned pools. Guarded by g_build_mutex.
constinit Pool* g_forsaken = nullptr;
constinit bool g_fork_handlers_installed = false;

// fork() copies only the forking thread, so a child inherits the parent's pool object but none of
// its workers, and the pool's mutex and condition variables may be caught mid-use by threads that
// no longer exist. The child therefore never touches that pool again: it drops the pointer so its
// first loop builds a fresh pool, and keeps the old object (memory only) on a chain so leak checkers
// still find it reachable. Holding g_build_mutex over the fork keeps the pointer and that chain
// consistent when another thread is building a pool at that moment.
void before_fork() noexcept { g_build_mutex.lock(); }
void after_fork_in_parent() noexcept { g_build_mutex.unlock(); }
void after_fork_in_child() noexcept {
    if (Pool* old = g_pool.load(std::memory_order_relaxed); old != nullptr) {
        old->forsaken_next = g_forsaken;
        g_forsaken = old;
        g_pool.store(nullptr, std::memory_order_relaxed);
    }
    // The child's only thread is the one that locked it in before_fork().
    g_build_mutex.unlock();
}

// Called with g_build_mutex held. Handlers are inherited by children, so this happens once per
// process tree, never again in a child. pthread_atfork() waits for the lock that fork() holds while
// it runs prepare handlers; that cannot deadlock here because before_fork() is not yet among them,
// so no fork in progress can be waiting for g_build_mutex.
void install_fork_handlers() {
    if (g_fork_handlers_installed) return;
    // pthread_atfork() can only fail for lack of memory.
    if (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
        throw std::bad_alloc();
    }
    g_fork_handlers_installed = true;
}

void* worker_main(void* pool) {
    touch_exception_storage();
    static_cast<Pool*>(pool)->serve();
    return nullptr;
}

// The signal mask workers start with: asynchronous signals are blocked so the process's signals are
// delivered to threads its owner controls (the interpreter's), never to a worker. Signals raised by
// a worker's own instructions stay open: blocked, they would kill the process without running the
// handlers installed for them (crash reporters, sanitizers).
sigset_t worker_signal_mask() noexcept {
    sigset_t mask;
    sigfillset(&mask);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
        sigdelset(&mask, synchronous);
    }
    return mask;
}

// Starts count workers on pool, all or none: if one fails to start, those already running are
// stopped and joined and a PoolError is thrown. The started threads are left detached.
void start_workers(Pool& pool, std::size_t count) {
    std::vector<pthread_t> threads;
    threads.reserve(count);  // the only allocation, made before any thread exists

    // Threads inherit the creating thread's mask; the creator's own mask is restored afterwards.
    const sigset_t blocked = worker_signal_mask();
    sigset_t saved;
    pthread_sigmask(SIG_SETMASK, &blocked, &saved);
    int error = 0;
    while (threads.size() < count) {
        pthread_t thread;
        error = pthread_create(&thread, nullptr, &worker_main, &pool);
        if (error != 0) break;
        // Only a label for tools; a failure changes nothing.
        pthread_setname_np(thread, kWorkerThreadName);
        threads.push_back(thread);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    if (error != 0) {
        const std::size_t started = threads.size();
        pool.stop();
        for (pthread_t thread : threads) pthread_join(thread, nullptr);
        raise_pool_error(std::string(kNotInitialized) + " Could not start worker thread " +
                         std::to_string(started + 1) + " of " + std::to_string(count) + ": " +
                         std::system_category().message(error) + ".");
    }
    // Never joined: workers live as long as the process.
    for (pthread_t thread : threads) pthread_detach(thread);
}

Pool& build_pool() {
    std::lock_guard lock(g_build_mutex);
    // Another thread may have built it while this one waited for the mutex.
    if (Pool* pool = g_pool.load(std::memory_order_relaxed); pool != nullptr) return *pool;
    install_fork_handlers();
    const std::size_t count = cpu_limit::configured_worker_count();
    auto pool = std::make_unique<Pool>(count);
    start_workers(*pool, count);
    // Deliberately never freed: workers sleep on its condition variable until the process ends.
    Pool* published = pool.release();
    g_pool.store(published, std::memory_order_release);
    return *published;
}

Pool& the_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire); pool != nullptr) [[likely]] {
        return *pool;
    }
    return build_pool();
}

}  // namespace

// ---- Public entry points ----

std::size_t thread_count() { return the_pool().workers() + 1; }

void for_range(std::size_t n, std::size_t grain, const RangeBody& body) {
    // The pool exists once any loop has started, however small.
    Pool& pool = the_pool();
    if (n < 2) {
        if (n == 1) body(0, 1);
        return;
    }
    const std::size_t threads = pool.workers() + 1;  // the caller works too
    const std::size_t chunk = std::max({grain, std::size_t{1}, ceil_div(n, threads * kChunksPerThread)});
    const std::size_t chunk_count = ceil_div(n, chunk);
    if (chunk_count == 1) {
        body(0, n);
        return;
    }
    Job job(body, n, chunk, chunk_count);
    pool.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace qm::parallel
