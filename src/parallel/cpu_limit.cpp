// The processor count behind the pool's size, read from the system: the affinity mask, then the
// cgroup CPU quotas found through /proc/self/mountinfo and /proc/self/cgroup. Short of running out
// of memory nothing here fails: whatever cannot be read or parsed counts as "no limit", because a
// pool a little too large only costs idle threads, while a failure here would leave the process
// without any parallel loop.
#include "cpu_limit.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace qm::parallel::cpu_limit {

namespace {

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
    const auto q = parse_decimal(trim(quota));
    const auto p = parse_decimal(trim(period));
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

}  // namespace

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

std::size_t configured_worker_count() {
    return resolve_worker_count(std::getenv(kNumThreadsVariable), std::getenv(kNumCpusVariable),
                                &available_processors);
}

}  // namespace qm::parallel::cpu_limit
