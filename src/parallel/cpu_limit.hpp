// How many workers the pool gets: the environment's request, else the processors this process may
// actually use, which is its CPU affinity lowered to any cgroup CPU quota (v1 or v2) on its cgroup or
// the ancestors visible to it. Kept apart from the scheduler so the pool depends only on
// configured_worker_count(), and so every rule here can be checked against made-up /proc text and
// quota files without building a pool.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace qm::parallel::cpu_limit {

// The largest pool ever built, whatever the environment asks for.
inline constexpr std::size_t kMaxWorkers = 65535;

// The environment variables read by configured_worker_count().
inline constexpr char kNumThreadsVariable[] = "RAYON_NUM_THREADS";
inline constexpr char kNumCpusVariable[] = "RAYON_RS_NUM_CPUS";

// The value of `text` when it is a non-empty run of ASCII digits that fits in std::size_t.
std::optional<std::size_t> parse_decimal(std::string_view text) noexcept;

// The pool size for the given values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null when unset):
// the first when it is a positive decimal; the processor count when it is a decimal zero; else the
// second when it is a positive decimal; else the processor count. `available` is asked for the
// processor count only when it is needed. The result is at least 1 and at most kMaxWorkers.
std::size_t resolve_worker_count(const char* num_threads, const char* num_cpus,
                                 std::size_t (*available)());

// The CPU limit that cgroup quotas place on this process, given the text of /proc/self/mountinfo and
// /proc/self/cgroup: the smallest ceil(quota / period) over its cgroup and the ancestors visible
// below the mount point, in the v2 hierarchy and in the v1 "cpu" hierarchy. Quota files are read
// from the mount points named in `mountinfo`. Empty when no quota applies or none can be read.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view mountinfo, std::string_view cgroups);

// The number of CPUs in this process's affinity mask; 0 when it cannot be read. Throws
// std::bad_alloc only.
std::size_t affinity_count();

// The processors this process may use: affinity_count() lowered to the cgroup_cpu_limit() read from
// /proc/self; 1 when the affinity cannot be read.
std::size_t available_processors();

// The pool size resolve_worker_count() gives for this process's environment and processors.
std::size_t configured_worker_count();

}  // namespace qm::parallel::cpu_limit
