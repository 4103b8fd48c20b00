/* What this machine's memory system gives at all, measured the way quillmesh's kernels use it:
 * sequential read and write bandwidth over memory already touched, the rate of writing freshly
 * mapped memory (its first touch, which a virtual machine makes expensive), the cost of random
 * 8-byte reads issued many at a time (a gather), and the latency of one dependent read from memory.
 *
 * Random reads are measured at half the L2, at half the L3, over the whole buffer (which no cache
 * holds), and in between at every power of two from twice the L2 up to half the L3: an L3 is not
 * one flat level (a virtual machine may report more of it than one guest gets), and a working set
 * of a few MiB is read several times faster than one of hundreds.
 *
 * Each figure is measured with 1 thread and with one thread per usable CPU, every thread pinned to
 * its own CPU; it is the best of --reps timed passes after one untimed pass. The result is one JSON
 * object on standard output. Built and run by limits.py:
 *
 *     cc -O2 -march=native -pthread limits_probe.c -o limits_probe
 *     limits_probe --l2 BYTES --l3 BYTES --sequential BYTES --fresh BYTES --reads N --chain N --reps R
 *
 * Its fresh-write figures map, write and unmap the same size again and again, so after the first
 * pass they measure memory this process has just given back. Memory never touched costs more on a
 * virtual machine whose host reclaims what the guest frees; that figure takes a process of its own
 * per measurement (limits.py runs it, a few seconds after any other use of memory):
 *
 *     limits_probe --first-touch BYTES --threads T --huge 0|1
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#define HUGE_PAGE ((size_t)2 << 20)
#define WORD sizeof(uint64_t)
#define MAX_THREADS 1024
/* Independent address streams per thread in the random-read loop: enough loads in flight to keep
 * the line fill buffers busy, few enough for the generators to stay in registers. */
#define STREAMS 8
/* Random reads at the L2 level cost a fraction of those from memory: do this many times more. */
#define L2_READS_FACTOR 4
#define LCG_MUL 6364136223846793005ULL
#define LCG_ADD 1442695040888963407ULL

#define MAX_SETS 64

enum level { LEVEL_L2, LEVEL_L3, LEVEL_MEMORY };
static const char *const level_name[] = {"l2", "l3", "memory"};

/* A working set of the random-read figures and the cache level it is meant for. */
struct working_set {
    enum level level;
    size_t bytes;
};

enum kind { SEQ_READ, SEQ_WRITE, FRESH_WRITE, RANDOM_READ };

struct task {
    enum kind kind;
    uint64_t *base;       /* the thread's slice (sequential), or the whole working set (random) */
    size_t words;         /* words in that slice or working set */
    uint64_t reads;       /* random reads to make */
    uint64_t seed;
    int cpu;
    pthread_barrier_t *start;
    uint64_t sink;
};

struct config {
    size_t l2, l3, sequential, fresh;
    uint64_t reads, chain;
    int reps;
    int cpus[MAX_THREADS];
    int ncpus;
};

static void die(const char *what) {
    fprintf(stderr, "limits_probe: %s: %s\n", what, errno ? strerror(errno) : "failed");
    exit(1);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static uint64_t splitmix(uint64_t *x) {
    uint64_t z = (*x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/* An anonymous mapping; with huge = 1 it asks for transparent huge pages, as the graph store does
 * for its big arrays. */
static uint64_t *map_words(size_t bytes, int huge) {
    void *p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) die("mmap");
#ifdef MADV_HUGEPAGE
    if (huge) madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)huge;
#endif
    return p;
}

static uint64_t sum_words(const uint64_t *p, size_t words) {
    uint64_t a = 0, b = 0, c = 0, d = 0;
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        a += p[i];
        b += p[i + 1];
        c += p[i + 2];
        d += p[i + 3];
    }
    for (; i < words; ++i) a += p[i];
    return a + b + c + d;
}

static void write_words(uint64_t *p, size_t words, uint64_t seed) {
    for (size_t i = 0; i < words; ++i) p[i] = i ^ seed;
}

/* reads 8-byte words at independent random positions of p[0, words): STREAMS generators whose
 * positions never depend on what was read, so the loads overlap as a gather's do. */
static uint64_t gather(const uint64_t *p, size_t words, uint64_t reads, uint64_t seed) {
    uint64_t s[STREAMS], sum = 0;
    for (int k = 0; k < STREAMS; ++k) s[k] = splitmix(&seed);
    for (uint64_t r = 0; r < reads; r += STREAMS) {
        for (int k = 0; k < STREAMS; ++k) {
            s[k] = s[k] * LCG_MUL + LCG_ADD;
            sum += p[((s[k] >> 32) * words) >> 32];
        }
    }
    return sum;
}

static void *run_task(void *arg) {
    struct task *t = arg;
    pthread_barrier_wait(t->start);
    switch (t->kind) {
        case SEQ_READ: t->sink = sum_words(t->base, t->words); break;
        case SEQ_WRITE:
        case FRESH_WRITE: write_words(t->base, t->words, t->seed); break;
        case RANDOM_READ: t->sink = gather(t->base, t->words, t->reads, t->seed); break;
    }
    return NULL;
}

static volatile uint64_t sink;

/* Starts a thread running task t, pinned to cpu. */
static void start_pinned(pthread_t *id, struct task *t, int cpu) {
    pthread_attr_t attr;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_attr_init(&attr);
    pthread_attr_setaffinity_np(&attr, sizeof set, &set);
    errno = pthread_create(id, &attr, run_task, t);
    if (errno != 0) die("pthread_create");
    pthread_attr_destroy(&attr);
}

/* One timed pass of `kind` on `threads` pinned threads, in seconds of wall time: sequential kinds
 * split [base, base + bytes) into one slice per thread; FRESH_WRITE maps that region itself inside
 * the timed span and unmaps it before the span ends (base is ignored); RANDOM_READ gives every
 * thread the whole region and `reads` reads of its own. */
static double pass(const struct config *cfg, enum kind kind, int threads, uint64_t *base, size_t bytes,
                   uint64_t reads, int huge) {
    static uint64_t round;
    struct task tasks[MAX_THREADS];
    pthread_t ids[MAX_THREADS];
    pthread_barrier_t start;
    if (pthread_barrier_init(&start, NULL, (unsigned)threads + 1) != 0) die("pthread_barrier_init");
    const size_t words = bytes / WORD, slice = words / (size_t)threads;
    ++round;
    for (int i = 0; i < threads; ++i) {
        tasks[i] = (struct task){.kind = kind, .words = kind == RANDOM_READ ? words : slice, .reads = reads,
                                 .seed = round * MAX_THREADS + (uint64_t)i, .cpu = cfg->cpus[i], .start = &start};
        start_pinned(&ids[i], &tasks[i], cfg->cpus[i]);
    }
    const double began = now();
    uint64_t *region = kind == FRESH_WRITE ? map_words(bytes, huge) : base;
    for (int i = 0; i < threads; ++i) tasks[i].base = kind == RANDOM_READ ? region : region + (size_t)i * slice;
    pthread_barrier_wait(&start);
    uint64_t total = 0;
    for (int i = 0; i < threads; ++i) {
        pthread_join(ids[i], NULL);
        total += tasks[i].sink;
    }
    if (kind == FRESH_WRITE) munmap(region, bytes);
    const double took = now() - began;
    pthread_barrier_destroy(&start);
    sink = total;
    return took;
}

/* The best of cfg->reps timed passes, after one untimed pass. */
static double best(const struct config *cfg, enum kind kind, int threads, uint64_t *base, size_t bytes,
                   uint64_t reads, int huge) {
    pass(cfg, kind, threads, base, bytes, reads, huge);
    double fastest = 0;
    for (int r = 0; r < cfg->reps; ++r) {
        const double t = pass(cfg, kind, threads, base, bytes, reads, huge);
        if (r == 0 || t < fastest) fastest = t;
    }
    return fastest;
}

/* Nanoseconds per step of a chain of dependent reads through `nodes` cache lines spread over the
 * whole of p[0, words), visited in random order. Overwrites those lines. */
static double chain_latency(const struct config *cfg, uint64_t *p, size_t words) {
    const uint64_t nodes = cfg->chain, line = 64 / WORD, lines = words / line, stride = lines / nodes;
    uint64_t *order = malloc(nodes * sizeof *order);
    if (order == NULL || stride == 0) die("chain");
    uint64_t seed = 12345;
    for (uint64_t i = 0; i < nodes; ++i) order[i] = (i * stride + splitmix(&seed) % stride) * line;
    for (uint64_t i = nodes - 1; i > 0; --i) {  /* Fisher-Yates */
        const uint64_t j = splitmix(&seed) % (i + 1), x = order[i];
        order[i] = order[j];
        order[j] = x;
    }
    for (uint64_t i = 0; i < nodes; ++i) p[order[i]] = order[(i + 1) % nodes];
    const uint64_t first = order[0];
    free(order);
    double fastest = 0;
    for (int r = 0; r <= cfg->reps; ++r) {  /* the first walk is the warm-up */
        uint64_t at = first;
        const double began = now();
        for (uint64_t i = 0; i < nodes; ++i) at = p[at];
        const double t = now() - began;
        sink = at;
        if (r == 1 || (r > 1 && t < fastest)) fastest = t;
    }
    return fastest * 1e9 / (double)nodes;
}

static size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

/* The --first-touch mode: GB/s of writing `bytes` that this process has never touched, mapped and
 * written once by `threads` pinned threads, each its own slice, as a load faults its new arrays.
 * Measured once per process: a second pass would reuse pages the process has just freed, which a
 * virtual machine hands out far more cheaply than memory it must first get back from its host. */
static double first_touch(const struct config *cfg, size_t bytes, int threads, int huge) {
    struct task tasks[MAX_THREADS];
    pthread_t ids[MAX_THREADS];
    pthread_barrier_t start;
    if (threads > cfg->ncpus) threads = cfg->ncpus;
    if (pthread_barrier_init(&start, NULL, (unsigned)threads + 1) != 0) die("pthread_barrier_init");
    const size_t slice = bytes / WORD / (size_t)threads;
    for (int i = 0; i < threads; ++i) {
        tasks[i] = (struct task){.kind = FRESH_WRITE, .words = slice, .seed = (uint64_t)i, .start = &start};
        start_pinned(&ids[i], &tasks[i], cfg->cpus[i]);
    }
    const double began = now();
    uint64_t *region = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) die("mmap");
#if defined(MADV_HUGEPAGE) && defined(MADV_NOHUGEPAGE)
    madvise(region, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#endif
    for (int i = 0; i < threads; ++i) tasks[i].base = region + (size_t)i * slice;
    pthread_barrier_wait(&start);
    for (int i = 0; i < threads; ++i) pthread_join(ids[i], NULL);
    const double took = now() - began;
    pthread_barrier_destroy(&start);
    munmap(region, bytes);
    return (double)bytes * 1e-9 / took;
}

static unsigned long long number(const char *text, const char *flag) {
    char *end;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v == 0) {
        fprintf(stderr, "limits_probe: %s needs a positive integer, got '%s'\n", flag, text);
        exit(2);
    }
    return v;
}

static void find_cpus(struct config *cfg) {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) die("sched_getaffinity");
    cfg->ncpus = 0;
    for (int c = 0; c < CPU_SETSIZE && cfg->ncpus < MAX_THREADS; ++c)
        if (CPU_ISSET(c, &allowed)) cfg->cpus[cfg->ncpus++] = c;
}

static void parse(int argc, char **argv, struct config *cfg) {
    const char *flags[] = {"--l2", "--l3", "--sequential", "--fresh", "--reads", "--chain", "--reps"};
    unsigned long long values[7] = {0};
    for (int i = 1; i < argc; i += 2) {
        int k = 0;
        while (k < 7 && strcmp(argv[i], flags[k]) != 0) ++k;
        if (k == 7 || i + 1 >= argc) {
            fprintf(stderr, "limits_probe: unknown or incomplete option '%s'\n", argv[i]);
            exit(2);
        }
        values[k] = number(argv[i + 1], flags[k]);
    }
    for (int k = 0; k < 7; ++k) {
        if (values[k] == 0) {
            fprintf(stderr, "limits_probe: %s is required\n", flags[k]);
            exit(2);
        }
    }
    cfg->l2 = values[0];
    cfg->l3 = values[1];
    cfg->sequential = round_up(values[2], HUGE_PAGE);
    cfg->fresh = round_up(values[3], HUGE_PAGE);
    cfg->reads = round_up(values[4], STREAMS);
    cfg->chain = values[5];
    cfg->reps = (int)values[6];
    if (cfg->l3 / 2 > cfg->sequential || (cfg->sequential / WORD) >> 32) {
        fprintf(stderr, "limits_probe: --sequential must hold L3/2 and stay below 32 GiB\n");
        exit(2);
    }
    find_cpus(cfg);
}

int main(int argc, char **argv) {
    struct config cfg;
    if (argc == 7 && strcmp(argv[1], "--first-touch") == 0 && strcmp(argv[3], "--threads") == 0 &&
        strcmp(argv[5], "--huge") == 0) {
        find_cpus(&cfg);
        const size_t bytes = round_up(number(argv[2], argv[1]), HUGE_PAGE);
        const int threads = (int)number(argv[4], argv[3]), huge = strcmp(argv[6], "1") == 0;
        printf("{\"first_touch_gbs\": %.6g}\n", first_touch(&cfg, bytes, threads, huge));
        return 0;
    }
    parse(argc, argv, &cfg);
    const double began = now();
    uint64_t *buffer = map_words(cfg.sequential, 1);
    write_words(buffer, cfg.sequential / WORD, 1);  /* touched once, before anything is timed */

    struct working_set sets[MAX_SETS];
    int nsets = 0;
    sets[nsets++] = (struct working_set){LEVEL_L2, cfg.l2 / 2};
    for (size_t bytes = 2 * cfg.l2; bytes < cfg.l3 / 2 && nsets < MAX_SETS - 2; bytes *= 2)
        sets[nsets++] = (struct working_set){LEVEL_L3, bytes};
    sets[nsets++] = (struct working_set){LEVEL_L3, cfg.l3 / 2};
    /* Memory too is probed at several sizes: past the caches, a read's cost still grows with the
     * working set, as its page-table walks miss more (a per-node array of tens of megabytes is read
     * at random far faster than one of gigabytes). */
    for (size_t bytes = 2 * cfg.l3; bytes < cfg.sequential / 2 && nsets < MAX_SETS - 1; bytes *= 4)
        sets[nsets++] = (struct working_set){LEVEL_MEMORY, bytes};
    sets[nsets++] = (struct working_set){LEVEL_MEMORY, cfg.sequential};

    const int counts[2] = {1, cfg.ncpus};
    const int configs = cfg.ncpus > 1 ? 2 : 1;
    printf("{\"pinned\": true, \"cpus\": [");
    for (int i = 0; i < cfg.ncpus; ++i) printf("%s%d", i ? ", " : "", cfg.cpus[i]);
    printf("], \"sizes\": {\"l2\": %zu, \"l3\": %zu, \"sequential\": %zu, \"fresh\": %zu, \"reads\": %llu, "
           "\"chain\": %llu, \"reps\": %d},\n",
           cfg.l2, cfg.l3, cfg.sequential, cfg.fresh, (unsigned long long)cfg.reads,
           (unsigned long long)cfg.chain, cfg.reps);
    printf(" \"random_sets\": [");
    for (int k = 0; k < nsets; ++k)
        printf("%s{\"level\": \"%s\", \"bytes\": %zu}", k ? ", " : "", level_name[sets[k].level], sets[k].bytes);
    printf("],\n \"runs\": [");
    for (int c = 0; c < configs; ++c) {
        const int threads = counts[c];
        const double gb = 1e-9;
        const double read = (double)cfg.sequential * gb / best(&cfg, SEQ_READ, threads, buffer, cfg.sequential, 0, 1);
        const double write = (double)cfg.sequential * gb / best(&cfg, SEQ_WRITE, threads, buffer, cfg.sequential, 0, 1);
        const double fresh = (double)cfg.fresh * gb / best(&cfg, FRESH_WRITE, threads, NULL, cfg.fresh, 0, 1);
        const double small = (double)cfg.fresh * gb / best(&cfg, FRESH_WRITE, threads, NULL, cfg.fresh, 0, 0);
        printf("%s\n  {\"threads\": %d, \"seq_read_gbs\": %.6g, \"seq_write_gbs\": %.6g, \"fresh_write_gbs\": %.6g, "
               "\"fresh_write_small_pages_gbs\": %.6g, \"random_ns\": [",
               c ? "," : "", threads, read, write, fresh, small);
        for (int k = 0; k < nsets; ++k) {
            const uint64_t reads = sets[k].level == LEVEL_L2 ? cfg.reads * L2_READS_FACTOR : cfg.reads;
            const double t = best(&cfg, RANDOM_READ, threads, buffer, sets[k].bytes, reads, 1);
            printf("%s%.6g", k ? ", " : "", t * 1e9 / ((double)reads * threads));
        }
        printf("]}");
    }
    const double latency = chain_latency(&cfg, buffer, cfg.sequential / WORD);
    munmap(buffer, cfg.sequential);
    printf("\n ],\n \"chain_latency_ns\": %.6g, \"seconds\": %.3f}\n", latency, now() - began);
    return 0;
}
