/* tolvex bench MODEL [--seconds S] */
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex bench MODEL [--seconds S]\n"
    "\n"
    "Runs forward passes of MODEL for S seconds (default 3) on a fixed\n"
    "pseudo-random input in [-1, 1], timing each pass on its own as a control\n"
    "loop would, and prints the mean, median, 99th percentile and maximum\n"
    "nanoseconds per pass and the passes per second. Every figure includes one\n"
    "clock reading per pass, whose cost is printed too. On a terminal a\n"
    "progress line on standard error shows the running figures.\n";

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Deterministic input: the same bits on every run, no zeros or specials. */
static void fill_input(float* x, uint32_t n) {
    uint32_t state = 0x9E3779B9u;
    for (uint32_t i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        x[i] = (float)(state >> 8) / 8388608.0f - 1.0f;
    }
}

static int parse_seconds(int argc, char** argv, double* seconds, const char** model) {
    *seconds = 3.0;
    *model = NULL;
    for (int i = 1; i < argc; ++i) {
        if (i < cli_options_end && strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end;
            *seconds = strtod(argv[++i], &end);
            if (*end != '\0' || !(*seconds > 0.0) || *seconds > 3600.0) {
                cli_error("bench: --seconds wants a number of seconds in (0, 3600], not '%s'", argv[i]);
                return CLI_USAGE;
            }
        } else if (*model == NULL) {
            *model = argv[i];
        } else {
            fputs(kHelp, stderr);
            return CLI_USAGE;
        }
    }
    if (*model == NULL) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    return CLI_OK;
}

/* ---------------------------------------------------------------------------
 * Pass times in a histogram: exact below 128 ns, above that 64 buckets per
 * power of two, so a percentile is read to within 1/64 (1.6 %) of the time
 * however many passes there were. */
enum { EXACT = 128, SUB_BITS = 6, BUCKETS = EXACT + (64 - 7) * (1 << SUB_BITS) };

typedef struct {
    uint64_t count[BUCKETS];
    uint64_t passes, max_ns;
} histogram;

static int log2_floor(uint64_t v) { return 63 - __builtin_clzll(v); }

static size_t bucket_of(uint64_t ns) {
    if (ns < EXACT) return (size_t)ns;
    int e = log2_floor(ns);
    uint64_t sub = (ns >> (e - SUB_BITS)) & ((1u << SUB_BITS) - 1);
    return EXACT + (size_t)(e - 7) * (1u << SUB_BITS) + (size_t)sub;
}

/* The middle of a bucket's range of times. */
static double bucket_value(size_t b) {
    if (b < EXACT) return (double)b;
    int e = (int)((b - EXACT) >> SUB_BITS) + 7;
    uint64_t sub = (b - EXACT) & ((1u << SUB_BITS) - 1);
    double width = (double)(1ull << (e - SUB_BITS));
    return (double)(1ull << e) + (double)sub * width + width / 2.0;
}

static void record(histogram* h, uint64_t ns) {
    ++h->count[bucket_of(ns)];
    ++h->passes;
    if (ns > h->max_ns) h->max_ns = ns;
}

/* The time below which a fraction q of the passes fall. */
static double quantile(const histogram* h, double q) {
    uint64_t rank = (uint64_t)ceil(q * (double)h->passes), seen = 0;
    if (rank == 0) rank = 1;
    for (size_t b = 0; b < BUCKETS; ++b) {
        seen += h->count[b];
        if (seen >= rank) return b < EXACT ? (double)b : fmin(bucket_value(b), (double)h->max_ns);
    }
    return (double)h->max_ns;
}

/* The median cost of one clock reading, from back-to-back readings. */
static uint64_t clock_cost_ns(void) {
    static histogram h;
    memset(&h, 0, sizeof h);
    for (int round = 0; round < 1000; ++round) {
        uint64_t t0 = now_ns();
        for (int i = 0; i < 15; ++i) (void)now_ns();
        record(&h, (now_ns() - t0) / 16);
    }
    return (uint64_t)quantile(&h, 0.5);
}

static void measure(tolvex_model* net, const float* x, uint32_t n, double seconds, int progress) {
    static histogram h; /* 30 KiB: static rather than on the stack */
    memset(&h, 0, sizeof h);
    uint64_t clock_ns = clock_cost_ns();
    /* Warm caches and branch predictors before timing. */
    for (int i = 0; i < 1000; ++i) tolvex_forward_pass(net, x, n);
    /* One clock reading per pass: each reading ends one pass's time and
     * starts the next, so the time of the loop itself is counted too, as in
     * a host's control loop. */
    const uint64_t budget = (uint64_t)(seconds * 1e9);
    uint64_t start = now_ns(), t = start, next_report = start + 250000000u;
    while (t - start < budget) {
        tolvex_forward_pass(net, x, n);
        uint64_t t1 = now_ns();
        record(&h, t1 - t);
        t = t1;
        if (progress && t >= next_report) {
            next_report = t + 250000000u;
            fprintf(stderr, "\r%5.1f s  %llu passes  median %.0f ns  max %llu ns", (double)(t - start) * 1e-9,
                    (unsigned long long)h.passes, quantile(&h, 0.5), (unsigned long long)h.max_ns);
        }
    }
    if (progress) fputs("\r\033[K", stderr);
    double elapsed = (double)(t - start) * 1e-9;
    printf("passes: %llu in %.3f s, each timed on its own\n", (unsigned long long)h.passes, elapsed);
    printf("ns per pass: mean %.1f, median %.0f, p99 %.0f, max %llu\n", elapsed * 1e9 / (double)h.passes,
           quantile(&h, 0.5), quantile(&h, 0.99), (unsigned long long)h.max_ns);
    printf("passes per second: %.0f\n", (double)h.passes / elapsed);
    printf("clock reading: about %llu ns, included in each pass's time\n", (unsigned long long)clock_ns);
}

int cmd_bench(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    double seconds;
    const char* path;
    int rc = parse_seconds(argc, argv, &seconds, &path);
    if (rc != CLI_OK) return rc;
    tolvex_model* net = NULL;
    rc = cli_load(&net, path);
    if (rc != CLI_OK) return rc;
    cli_summary s;
    rc = cli_summarize(net, path, &s);
    float* x = rc == CLI_OK ? malloc(((size_t)s.input_size + 1) * sizeof *x) : NULL;
    if (rc == CLI_OK && x == NULL) {
        cli_error("bench: out of memory for an input of %u floats", s.input_size);
        rc = CLI_FAIL;
    }
    if (rc == CLI_OK) {
        fill_input(x, s.input_size);
        printf("model: %s (%u layers, %llu parameters)\n", path, s.layer_count,
               (unsigned long long)(s.weights + s.biases));
        measure(net, x, s.input_size, seconds, isatty(STDERR_FILENO));
    }
    free(x);
    tolvex_free_model(net);
    return rc;
}
