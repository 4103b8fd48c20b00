// The worker pool behind qm::parallel: how it is sized, how it is built, how concurrent loops share
// it, and how a forked child comes to build its own.
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

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "../core/fault.hpp"

namespace qm::parallel {

namespace {

// Chunks aimed for per thread taking part in a loop (every worker plus the caller): enough that a
// thread held up by a costly chunk (a hub) leaves the rest to be shared by the others, few enough
// that the one fetch_add per chunk is nothing next to the chunk's work even for trivial bodies.
constexpr std::size_t kChunksPerThread = 16;

constexpr char kNumThreadsVariable[] = "RAYON_NUM_THREADS";
constexpr char kNumCpusVariable[] = "RAYON_RS_NUM_CPUS";

constexpr char kNotInitialized[] = "The global thread pool has not been initialized.";

// What ps, top and debuggers show for a worker (Linux allows at most 15 characters).
constexpr char kWorkerThreadName[] = "quillmesh-pool";

// The affinity mask is first read with room for this many CPUs; the room doubles while the kernel
// reports a larger mask, up to the second bound.
constexpr std::size_t kFirstAffinityCpus = 1024;
constexpr std::size_t kMaxAffinityCpus = std::size_t{1} << 22;

constexpr std::size_t kDecimalRadix = 10;
// mountinfo writes awkward characters in paths as a backslash and three octal digits.
constexpr std::size_t kOctalEscapeDigits = 3;
constexpr unsigned kOctalDigitBits = 3;
// Fields of a mountinfo line before the optional ones: id, parent, device, root, mount point,
// options. After the "-" separator come the file system type, the source and the super options.
constexpr std::size_t kMountRootField = 3;
constexpr std::size_t kMountPointField = 4;
constexpr std::size_t kMountFixedFields = 6;
constexpr std::size_t kFsTypeAfterSeparator = 1;
constexpr std::size_t kSuperOptionsAfterSeparator = 3;
// Bytes read from a pseudo-file per read() call.
constexpr std::size_t kReadBlock = 4096;

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
// stopped and joined and a Fault is thrown. The started threads are left detached.
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
        fault(std::string(kNotInitialized) + " Could not start worker thread " +
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
    const std::size_t count = detail::resolve_worker_count(
        std::getenv(kNumThreadsVariable), std::getenv(kNumCpusVariable), &detail::available_processors);
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

// ---- Reading the processor count from the system ----

// The whole content of a small file (procfs and cgroupfs report no size, so it is read to the end).
bool read_text(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char block[kReadBlock];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got > 0) {
            out.append(block, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

std::string_view trim(std::string_view text) noexcept {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool has_item(std::string_view comma_list, std::string_view item) {
    for (std::string_view entry : split(comma_list, ',')) {
        if (entry == item) return true;
    }
    return false;
}

bool is_octal_digit(char c) noexcept { return c >= '0' && c <= '7'; }

std::string unescape_mount_field(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i > kOctalEscapeDigits &&
            std::all_of(field.begin() + i + 1, field.begin() + i + 1 + kOctalEscapeDigits, is_octal_digit)) {
            unsigned code = 0;
            for (std::size_t d = 1; d <= kOctalEscapeDigits; ++d) {
                code = (code << kOctalDigitBits) | static_cast<unsigned>(field[i + d] - '0');
            }
            out.push_back(static_cast<char>(code));
            i += kOctalEscapeDigits;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::optional<std::size_t> cpus_for_quota(std::string_view quota, std::string_view period) {
    const auto q = detail::parse_decimal(trim(quota));
    const auto p = detail::parse_decimal(trim(period));
    if (!q || !p || *q == 0 || *p == 0) return std::nullopt;
    return ceil_div(*q, *p);
}

// cgroup v2: cpu.max holds "<quota> <period>", the quota being "max" when there is none.
std::optional<std::size_t> read_cpu_max(const std::string& dir) {
    std::string text;
    if (!read_text(dir + "/cpu.max", text)) return std::nullopt;
    const std::string_view line = trim(text);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    // "max" is not a decimal, so it yields no limit.
    return cpus_for_quota(line.substr(0, space), line.substr(space + 1));
}

// cgroup v1: the quota (-1 when there is none) and the period are separate files, in microseconds.
std::optional<std::size_t> read_cfs_quota(const std::string& dir) {
    std::string quota;
    std::string period;
    if (!read_text(dir + "/cpu.cfs_quota_us", quota) || !read_text(dir + "/cpu.cfs_period_us", period)) {
        return std::nullopt;
    }
    // "-1" is not a decimal, so it yields no limit.
    return cpus_for_quota(quota, period);
}

// One cgroup hierarchy holding the CPU controller, as this process sees it.
struct Hierarchy {
    bool mounted = false;
    std::string root;         // the directory of the hierarchy shown at the mount point
    std::string mount_point;
    std::string cgroup;       // this process's cgroup, relative to the hierarchy's root
};

// The tightest quota on the process's cgroup and its ancestors down to the mount point. A cgroup's
// limit also binds everything below it, so each level visible through the mount is read.
std::optional<std::size_t> hierarchy_limit(const Hierarchy& h,
                                           std::optional<std::size_t> (*read_quota)(const std::string&)) {
    if (!h.mounted) return std::nullopt;
    // The cgroup's directory below the mount point. When the cgroup is not inside the mounted
    // subtree (or is given through ".."), only the mount point's own limit can be seen.
    std::string relative;
    const bool root_is_top = h.root == "/";
    if (root_is_top) {
        relative = h.cgroup;
    } else if (h.cgroup.starts_with(h.root) &&
               (h.cgroup.size() == h.root.size() || h.cgroup[h.root.size()] == '/')) {
        relative = h.cgroup.substr(h.root.size());
    }
    const std::vector<std::string_view> steps = split(relative, '/');
    if (!relative.starts_with('/') || std::find(steps.begin(), steps.end(), "..") != steps.end()) {
        relative.clear();
    }
    while (!relative.empty() && relative.back() == '/') relative.pop_back();

    std::optional<std::size_t> tightest;
    for (;;) {
        if (auto limit = read_quota(h.mount_point + relative)) {
            tightest = tightest ? std::min(*tightest, *limit) : *limit;
        }
        if (relative.empty()) return tightest;
        relative.resize(relative.rfind('/'));
    }
}

std::size_t affinity_count() {
    for (std::size_t room = kFirstAffinityCpus; room <= kMaxAffinityCpus; room *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(room),
                                                                    [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) throw std::bad_alloc();
        const std::size_t size = CPU_ALLOC_SIZE(room);
        CPU_ZERO_S(size, set.get());
        if (sched_getaffinity(0, size, set.get()) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
        }
        // EINVAL: the kernel's mask is larger than the room given; anything else is final.
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

// ---- Public entry points ----

std::size_t worker_count() { return the_pool().workers(); }

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

namespace detail {

std::optional<std::size_t> parse_decimal(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (kMax - digit) / kDecimalRadix) return std::nullopt;  // would overflow
        value = value * kDecimalRadix + digit;
    }
    return value;
}

std::size_t resolve_worker_count(const char* num_threads, const char* num_cpus,
                                 std::size_t (*available)()) {
    const auto decimal = [](const char* value) -> std::optional<std::size_t> {
        if (value == nullptr) return std::nullopt;
        return parse_decimal(value);
    };
    std::size_t count;
    if (const auto threads = decimal(num_threads); threads && *threads > 0) {
        count = *threads;
    } else if (threads) {
        count = available();  // an explicit zero asks for one worker per available processor
    } else if (const auto cpus = decimal(num_cpus); cpus && *cpus > 0) {
        count = *cpus;
    } else {
        count = available();
    }
    return std::clamp(count, std::size_t{1}, kMaxWorkers);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view mountinfo, std::string_view cgroups) {
    Hierarchy unified;  // v2
    Hierarchy cpu;      // v1, the hierarchy with the "cpu" controller

    for (std::string_view line : split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto separator = std::find(fields.begin(), fields.end(), "-");
        if (separator == fields.end()) continue;
        const auto at = static_cast<std::size_t>(separator - fields.begin());
        if (at < kMountFixedFields || fields.size() <= at + kSuperOptionsAfterSeparator) continue;
        const std::string_view type = fields[at + kFsTypeAfterSeparator];
        Hierarchy* target = nullptr;
        if (type == "cgroup2") {
            target = &unified;
        } else if (type == "cgroup" && has_item(fields[at + kSuperOptionsAfterSeparator], "cpu")) {
            target = &cpu;
        }
        if (target == nullptr || target->mounted) continue;  // the first mount of each will do
        target->mounted = true;
        target->root = unescape_mount_field(fields[kMountRootField]);
        target->mount_point = unescape_mount_field(fields[kMountPointField]);
    }

    // Lines are "<hierarchy id>:<controllers>:<path>"; v2 is hierarchy 0 with no controllers.
    for (std::string_view line : split(cgroups, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            unified.cgroup = path;
        } else if (has_item(controllers, "cpu")) {
            cpu.cgroup = path;
        }
    }

    const auto v2 = hierarchy_limit(unified, &read_cpu_max);
    const auto v1 = hierarchy_limit(cpu, &read_cfs_quota);
    if (v2 && v1) return std::min(*v2, *v1);
    return v2 ? v2 : v1;
}

std::size_t available_processors() {
    std::size_t cpus = affinity_count();
    if (cpus == 0) return 1;  // cannot tell
    std::string mountinfo;
    std::string cgroups;
    if (read_text("/proc/self/mountinfo", mountinfo) && read_text("/proc/self/cgroup", cgroups)) {
        if (const auto limit = cgroup_cpu_limit(mountinfo, cgroups)) cpus = std::min(cpus, *limit);
    }
    return cpus;
}

}  // namespace detail

}  // namespace qm::parallel
