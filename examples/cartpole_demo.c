/* Balances a simulated cart-pole with the bundled policy network.
 *
 * Every 20 ms the host hands the plant's state (cart position and speed,
 * pole angle and rate) to tolvex_forward_pass and applies the force the
 * network returns until the next step. The plant is the classic frictionless
 * cart-pole, integrated with fourth-order Runge-Kutta; half-way through, the
 * pole gets a push. The demo prints:
 *
 *  - the pole angle as a text plot. Each row spans ten control steps; it
 *    marks the angle farthest from upright among them and the range of the
 *    others, so a swing shorter than a row (the push) shows as it happens;
 *  - the final state;
 *  - two timings of a forward pass over the same inputs, both medians, so
 *    that a moment lost to another process on a busy machine does not count.
 *    "In the control loop": each pass of the run timed on its own, between
 *    the simulation steps, as a host sees it; each time includes one clock
 *    reading (some 20 ns) and whatever the simulation step evicted from the
 *    caches. Its worst pass is shown too: usually the first, with cold caches
 *    and vector units. "Back to back": the run's inputs replayed in a tight
 *    loop, each replay of them all timed as a whole, with no clock reading
 *    between passes and nothing else in the caches. Neither is bound to be
 *    the lower: the tight loop keeps the vector units busy without a pause,
 *    which makes some CPUs lower their clock speed, and the control loop
 *    pays for its clock readings. On a quiet machine they are close;
 *  - a determinism line: the closed loop run again on every kernel path
 *    (instruction-set implementation) this CPU has, with a hash of each
 *    trajectory. They are all equal: every path computes the same bits.
 *
 * The public interface has no way to choose a kernel path, and a host has no
 * reason to want one. To show the claim anyway, this demo is linked with the
 * library's static archive, the very objects libtolvex.so is made of, and
 * kernel_paths.cpp switches paths through the library's internal kernel table
 * (the hook its tests use). Everything else here goes through tolvex.h alone,
 * as in any host program; a host links libtolvex.so.
 *
 * usage: cartpole_demo [MODEL.tvxf|MODEL.json] [--seconds S]
 */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "fingerprint.h"
#include "kernel_paths.h"
#include "tolvex.h"

#ifndef CARTPOLE_MODEL
#define CARTPOLE_MODEL "examples/models/cartpole.tvxf"
#endif

/* The plant, in SI units; tools/train_cartpole.py fitted the policy to it. */
static const double kGravity = 9.8;
static const double kCartMass = 1.0;
static const double kPoleMass = 0.1;
static const double kHalfLength = 0.5; /* pivot to the pole's centre of mass */
static const double kDt = 0.02;        /* control period */
static const double kPush = -1.0;      /* rad/s added to the pole's rate half-way */
static const double kPi = 3.14159265358979323846;

enum { X, X_DOT, THETA, THETA_DOT }; /* theta = 0 is upright */

static void derivative(const double s[4], double force, double ds[4]) {
    double total = kCartMass + kPoleMass, pml = kPoleMass * kHalfLength;
    double sn = sin(s[THETA]), cs = cos(s[THETA]);
    double temp = (force + pml * s[THETA_DOT] * s[THETA_DOT] * sn) / total;
    double th_acc = (kGravity * sn - cs * temp) / (kHalfLength * (4.0 / 3.0 - kPoleMass * cs * cs / total));
    ds[X] = s[X_DOT];
    ds[X_DOT] = temp - pml * th_acc * cs / total;
    ds[THETA] = s[THETA_DOT];
    ds[THETA_DOT] = th_acc;
}

static void rk4_step(double s[4], double force, double dt) {
    double k[4][4], tmp[4];
    derivative(s, force, k[0]);
    for (int i = 0; i < 4; ++i) tmp[i] = s[i] + 0.5 * dt * k[0][i];
    derivative(tmp, force, k[1]);
    for (int i = 0; i < 4; ++i) tmp[i] = s[i] + 0.5 * dt * k[1][i];
    derivative(tmp, force, k[2]);
    for (int i = 0; i < 4; ++i) tmp[i] = s[i] + dt * k[2][i];
    derivative(tmp, force, k[3]);
    for (int i = 0; i < 4; ++i) s[i] += dt / 6.0 * (k[0][i] + 2.0 * k[1][i] + 2.0 * k[2][i] + k[3][i]);
}

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static double degrees(double rad) { return rad * 180.0 / kPi; }

/* FNV-1a, 64 bits, over the bytes of the trajectory. */
static uint64_t hash_bytes(uint64_t h, const void* p, size_t n) {
    const unsigned char* b = p;
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001B3ull;
    return h;
}

/* ---------------------------------------------------------------------------
 * One closed-loop run. */

typedef struct {
    long steps;        /* control steps taken */
    double state[4];   /* at the end */
    double* angle;     /* the angle before each step, and at the end: steps + 1 */
    float (*input)[4]; /* the network's input at each step */
    double* pass_ns;   /* the time of each step's forward pass */
    uint64_t hash;     /* of every input, output and state of the run */
    int fell;
} run;

/* Runs `steps` control steps from the initial state; the arrays of r must
 * hold steps + 1 entries. Stops early when the pole falls past recovery. */
static void simulate(tolvex_model* net, long steps, run* r) {
    double s[4] = {0.0, 0.0, 0.2, 0.0}; /* pole 11.5 degrees off upright */
    const long push_step = steps / 2;
    uint64_t h = 0xCBF29CE484222325ull;
    r->fell = 0;
    long k = 0;
    for (; k < steps; ++k) {
        if (k == push_step) s[THETA_DOT] += kPush;
        r->angle[k] = s[THETA];
        float* in = r->input[k];
        in[0] = (float)s[X];
        in[1] = (float)s[X_DOT];
        in[2] = (float)s[THETA];
        in[3] = (float)s[THETA_DOT];
        double t0 = now_ns();
        tolvex_forward_pass(net, in, 4);
        r->pass_ns[k] = now_ns() - t0;
        float force = tolvex_get_output_buffer(net)[0];
        rk4_step(s, force, kDt);
        h = hash_bytes(h, in, 4 * sizeof *in);
        h = hash_bytes(h, &force, sizeof force);
        h = hash_bytes(h, s, sizeof s);
        if (fabs(s[THETA]) > 0.5 || !isfinite(s[THETA])) {
            r->fell = 1; /* fallen past recovery */
            ++k;
            break;
        }
    }
    r->steps = k;
    r->angle[k] = s[THETA];
    memcpy(r->state, s, sizeof s);
    r->hash = h;
}

/* ---------------------------------------------------------------------------
 * The plot: the angle on an axis from -15 to +15 degrees, half a degree per
 * column, upright marked with '|'. */

enum { WIDTH = 61, CENTRE = 30, ROW_STEPS = 10 };

static long column(double deg) {
    long c = lround(CENTRE + deg * 2.0);
    return c < 0 ? 0 : c >= WIDTH ? WIDTH - 1 : c;
}

/* The row of the angles a[0..n-1]: '-' over their range, '*' at the one
 * farthest from upright ('<' or '>' when it lies off the axis). */
static void plot_row(double t, const double* a, long n) {
    char axis[WIDTH + 1];
    memset(axis, ' ', WIDTH);
    axis[WIDTH] = '\0';
    axis[CENTRE] = '|';
    double lo = a[0], hi = a[0], extreme = a[0];
    for (long i = 1; i < n; ++i) {
        if (a[i] < lo) lo = a[i];
        if (a[i] > hi) hi = a[i];
        if (fabs(a[i]) > fabs(extreme)) extreme = a[i];
    }
    for (long c = column(degrees(lo)); c <= column(degrees(hi)); ++c) axis[c] = '-';
    double deg = degrees(extreme);
    axis[column(deg)] = deg < -15.25 ? '<' : deg > 15.25 ? '>' : '*';
    printf("%6.2f %+7.2f  %s\n", t, deg, axis);
}

static void plot(const run* r) {
    printf("%6s %7s  %-30s|%30s\n", "t/s", "deg", "-15 deg", "+15 deg");
    for (long k = 0; k <= r->steps; k += ROW_STEPS) {
        long n = r->steps + 1 - k < ROW_STEPS ? r->steps + 1 - k : ROW_STEPS;
        plot_row(k * kDt, r->angle + k, n);
    }
}

/* ---------------------------------------------------------------------------
 * Timing and determinism. */

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

/* The median of v[0..n-1], n > 0; sorts v. */
static double median(double* v, long n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

/* The median time of a pass in the control loop, and its worst pass. */
static double loop_median_ns(const run* r, double* scratch, double* worst_ns, long* worst_pass) {
    *worst_ns = 0.0;
    *worst_pass = 0;
    for (long k = 0; k < r->steps; ++k) {
        scratch[k] = r->pass_ns[k];
        if (r->pass_ns[k] > *worst_ns) {
            *worst_ns = r->pass_ns[k];
            *worst_pass = k;
        }
    }
    return median(scratch, r->steps);
}

/* The median time of a pass when the run's inputs are replayed back to
 * back: `reps` replays, each timed as a whole. */
static double back_to_back_ns(tolvex_model* net, const run* r, double* scratch, long reps) {
    for (long rep = 0; rep < reps; ++rep) {
        double t0 = now_ns();
        for (long k = 0; k < r->steps; ++k) tolvex_forward_pass(net, r->input[k], 4);
        scratch[rep] = (now_ns() - t0) / (double)r->steps;
    }
    return median(scratch, reps);
}

/* Reruns the loop on every kernel path; prints one hash per path. 1 when all
 * equal the first run's. */
static int same_on_every_path(tolvex_model* net, long steps, run* scratch, uint64_t want) {
    int equal = 1;
    printf("trajectory hash per kernel path:");
    for (int i = 0; i < demo_kernel_path_count(); ++i) {
        demo_use_kernel_path(i);
        simulate(net, steps, scratch);
        equal &= scratch->hash == want;
        printf(" %s %016llx%s", demo_kernel_path_name(i), (unsigned long long)scratch->hash,
               i + 1 < demo_kernel_path_count() ? "," : "");
    }
    demo_use_kernel_path(-1);
    printf(": %s\n", equal ? "all equal" : "NOT EQUAL");
    return equal;
}

static int load(tolvex_model** net, const char* path) {
    size_t n = strlen(path);
    int json = n >= 5 && strcmp(path + n - 5, ".json") == 0;
    tolvex_result r = json ? tolvex_load_json(net, path) : tolvex_load_tvxf(net, path);
    if (r != tolvex_Success) {
        fprintf(stderr, "cartpole_demo: cannot load %s: %s\n", path, tolvex_result_name(r));
        return 0;
    }
    if (tolvex_get_output_len(*net) != 1) {
        fprintf(stderr, "cartpole_demo: %s is not a cart-pole policy (one output expected)\n", path);
        tolvex_free_model(*net);
        return 0;
    }
    return 1;
}

static int alloc_run(run* r, long steps) {
    memset(r, 0, sizeof *r);
    r->angle = malloc((size_t)(steps + 1) * sizeof *r->angle);
    r->input = malloc((size_t)(steps + 1) * sizeof *r->input);
    r->pass_ns = malloc((size_t)(steps + 1) * sizeof *r->pass_ns);
    return r->angle != NULL && r->input != NULL && r->pass_ns != NULL;
}

static void free_run(run* r) {
    free(r->angle);
    free(r->input);
    free(r->pass_ns);
}

int main(int argc, char** argv) {
    const char* path = CARTPOLE_MODEL;
    double seconds = 10.0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else
            path = argv[i];
    }
    if (!(seconds > 0.0 && seconds <= 3600.0)) {
        fprintf(stderr, "cartpole_demo: --seconds wants a duration in (0, 3600]\n");
        return 2;
    }
    const long steps = lround(seconds / kDt);
    const long replays = 400;

    tolvex_init();
    tolvex_model* net = NULL;
    run first, again;
    double* scratch = malloc((size_t)(steps > replays ? steps + 1 : replays) * sizeof *scratch);
    int ok = alloc_run(&first, steps) && alloc_run(&again, steps) && scratch != NULL;
    if (!ok) fprintf(stderr, "cartpole_demo: out of memory\n");
    if (ok) ok = load(&net, path);
    if (!ok) {
        free_run(&first);
        free_run(&again);
        free(scratch);
        tolvex_deinit();
        return 1;
    }

    printf("cart-pole balanced by %s, one forward pass every %.0f ms\n", path, kDt * 1e3);
    printf("push on the pole at t = %.2f s; each row spans %d steps: '*' the angle farthest from\n",
           steps / 2 * kDt, ROW_STEPS);
    printf("upright, '-' the range of the others\n\n");
    simulate(net, steps, &first);
    plot(&first);

    double max_late = 0.0;
    for (long k = lround(1.0 / kDt); k <= first.steps; ++k)
        if (fabs(first.angle[k]) > max_late) max_late = fabs(first.angle[k]);
    int upright = !first.fell && fabs(first.state[THETA]) < 0.5 * kPi / 180.0 && max_late < 0.5;

    printf(
        "\nfinal state after %.2f s: x = %+.4f m, x' = %+.4f m/s, angle = %+.4f deg, angle' = %+.4f deg/s\n",
        first.steps * kDt, first.state[X], first.state[X_DOT], degrees(first.state[THETA]),
        degrees(first.state[THETA_DOT]));
    printf("largest angle after the first second: %.2f deg\n", degrees(max_late));
    printf("%s\n", upright ? "the pole stayed up" : "the pole fell");
    if (first.steps > 0) {
        double worst_ns;
        long worst_pass;
        double loop_ns = loop_median_ns(&first, scratch, &worst_ns, &worst_pass);
        double tight_ns = back_to_back_ns(net, &first, scratch, replays);
        printf(
            "forward pass in the control loop: median %.0f ns, worst %.1f us at pass %ld of %ld (each timed "
            "alone)\n",
            loop_ns, worst_ns * 1e-3, worst_pass + 1, first.steps);
        printf("forward pass back to back:        median %.0f ns (the loop's inputs replayed %ld times)\n",
               tight_ns, replays);
    }

    int equal = same_on_every_path(net, steps, &again, first.hash);
    /* The fingerprint `tolvex hash MODEL` prints: the same on every machine
     * that computes the same bits, so the hashes above can be matched to the
     * exact model anywhere. */
    uint64_t fingerprint = 0;
    if (model_fingerprint(net, 4, &fingerprint) == 0)
        printf("model fingerprint (tolvex hash): %016llx\n", (unsigned long long)fingerprint);

    tolvex_free_model(net);
    free_run(&first);
    free_run(&again);
    free(scratch);
    tolvex_deinit();
    return upright && equal ? 0 : 1;
}
