// A command-line front end to src/parallel/cpu_limit.cpp for tests/test_cpu_limit.py, which compiles
// it: the probing is native code that Python cannot call, so each command runs one function on its
// arguments (or on this process's environment and affinity) and prints the result on one line,
// "none" standing for an empty optional. Exit status 2 means the command line was not understood.
//
//   parse TEXT                    parse_decimal(TEXT)
//   resolve AVAILABLE             resolve_worker_count() on the two environment variables, with a
//                                 processor count of AVAILABLE; prints the count and whether the
//                                 processor count was asked for ("asked" / "not-asked")
//   cgroup MOUNTINFO CGROUP       cgroup_cpu_limit() on the contents of the two files
//   affinity                      affinity_count()
//   available                     available_processors()
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "parallel/cpu_limit.hpp"

namespace {

namespace cl = qm::parallel::cpu_limit;

constexpr int kUsage = 2;

std::size_t g_available = 0;
bool g_asked = false;

std::size_t fake_available() {
    g_asked = true;
    return g_available;
}

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        std::exit(kUsage);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void print(std::optional<std::size_t> value) {
    if (value) {
        std::cout << *value << "\n";
    } else {
        std::cout << "none\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "parse" && argc == 3) {
        print(cl::parse_decimal(argv[2]));
    } else if (command == "resolve" && argc == 3) {
        const auto available = cl::parse_decimal(argv[2]);
        if (!available) return kUsage;
        g_available = *available;
        const std::size_t count = cl::resolve_worker_count(
            std::getenv(cl::kNumThreadsVariable), std::getenv(cl::kNumCpusVariable), &fake_available);
        std::cout << count << (g_asked ? " asked\n" : " not-asked\n");
    } else if (command == "cgroup" && argc == 4) {
        print(cl::cgroup_cpu_limit(slurp(argv[2]), slurp(argv[3])));
    } else if (command == "affinity" && argc == 2) {
        std::cout << cl::affinity_count() << "\n";
    } else if (command == "available" && argc == 2) {
        std::cout << cl::available_processors() << "\n";
    } else {
        std::cerr << "unknown command line\n";
        return kUsage;
    }
    return 0;
}
