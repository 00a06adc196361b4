/* tolvex bench MODEL [--seconds S] */
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex bench MODEL [--seconds S]\n"
    "\n"
    "Runs forward passes of MODEL back to back for S seconds (default 3) on a\n"
    "fixed pseudo-random input in [-1, 1] and prints the passes per second and\n"
    "the nanoseconds per pass. On a terminal a progress line shows the running\n"
    "figures.\n";

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
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
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
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

static void measure(tolvex_model* net, const float* x, uint32_t n, double seconds, int progress) {
    /* Warm caches and branch predictors, then size batches so that reading
     * the clock costs nothing next to the work between two readings. */
    for (int i = 0; i < 1000; ++i) tolvex_forward_pass(net, x, n);
    uint64_t batch = 1;
    for (;;) {
        double t0 = now_seconds();
        for (uint64_t i = 0; i < batch; ++i) tolvex_forward_pass(net, x, n);
        if (now_seconds() - t0 >= 0.01 || batch >= (1u << 30)) break;
        batch *= 2;
    }
    uint64_t passes = 0;
    double start = now_seconds(), elapsed = 0.0, last_report = 0.0;
    while (elapsed < seconds) {
        for (uint64_t i = 0; i < batch; ++i) tolvex_forward_pass(net, x, n);
        passes += batch;
        elapsed = now_seconds() - start;
        if (progress && elapsed - last_report >= 0.25) {
            last_report = elapsed;
            printf("\r%5.1f s  %llu passes  %.1f ns/pass", elapsed, (unsigned long long)passes,
                   elapsed * 1e9 / (double)passes);
            fflush(stdout);
        }
    }
    if (progress) printf("\r\033[K");
    printf("passes: %llu in %.3f s\n", (unsigned long long)passes, elapsed);
    printf("passes per second: %.0f\n", (double)passes / elapsed);
    printf("ns per pass: %.1f\n", elapsed * 1e9 / (double)passes);
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
    rc = cli_summarize(net, &s);
    float* x = rc == CLI_OK ? malloc(((size_t)s.input_size + 1) * sizeof *x) : NULL;
    if (rc == CLI_OK && x == NULL) {
        cli_error("bench: out of memory for an input of %u floats", s.input_size);
        rc = CLI_FAIL;
    }
    if (rc == CLI_OK) {
        fill_input(x, s.input_size);
        printf("model: %s (%u layers, %llu parameters)\n", path, s.layer_count,
               (unsigned long long)(s.weights + s.biases));
        measure(net, x, s.input_size, seconds, isatty(STDOUT_FILENO));
    }
    free(x);
    tolvex_free_model(net);
    return rc;
}
