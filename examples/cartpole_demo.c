/* Balances a simulated cart-pole with the bundled policy network.
 *
 * Every 20 ms the host hands the plant's state (cart position and speed,
 * pole angle and rate) to tolvex_forward_pass and applies the force the
 * network returns until the next step. The plant is the classic frictionless
 * cart-pole, integrated with fourth-order Runge-Kutta; half-way through, the
 * pole gets a push. Prints the pole angle as a text plot, the final state and
 * the time a forward pass takes.
 *
 * usage: cartpole_demo [MODEL.tvxf|MODEL.json] [--seconds S]
 */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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

/* One plot row: the angle on an axis from -15 to +15 degrees, half a degree
 * per column, upright marked with '|'. */
static void plot_row(double t, const double s[4]) {
    enum { WIDTH = 61, CENTRE = 30 };
    char axis[WIDTH + 1];
    memset(axis, ' ', WIDTH);
    axis[WIDTH] = '\0';
    axis[CENTRE] = '|';
    double deg = degrees(s[THETA]);
    long col = lround(CENTRE + deg * 2.0);
    if (col < 0)
        axis[0] = '<';
    else if (col >= WIDTH)
        axis[WIDTH - 1] = '>';
    else
        axis[col] = '*';
    printf("%6.2f %+7.2f %+6.2f  %s\n", t, deg, s[X], axis);
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

    tolvex_init();
    tolvex_model* net = NULL;
    if (!load(&net, path)) {
        tolvex_deinit();
        return 1;
    }

    double s[4] = {0.0, 0.0, 0.2, 0.0}; /* pole 11.5 degrees off upright */
    const long steps = lround(seconds / kDt), push_step = steps / 2, plot_every = 10;
    const double push = -1.0;           /* rad/s added to the pole's rate */
    double max_late = 0.0, loop_ns = 0.0;
    long passes = 0;

    printf("cart-pole balanced by %s, one forward pass every %.0f ms\n", path, kDt * 1e3);
    printf("push on the pole at t = %.2f s\n\n", push_step * kDt);
    printf("%6s %7s %6s  %-30s|%30s\n", "t/s", "deg", "x/m", "-15 deg", "+15 deg");
    for (long k = 0; k <= steps; ++k) {
        if (k % plot_every == 0) plot_row(k * kDt, s);
        if (k == steps) break;
        if (k == push_step) s[THETA_DOT] += push;
        float in[4] = {(float)s[X], (float)s[X_DOT], (float)s[THETA], (float)s[THETA_DOT]};
        double t0 = now_ns();
        tolvex_forward_pass(net, in, 4);
        loop_ns += now_ns() - t0;
        ++passes;
        double force = tolvex_get_output_buffer(net)[0];
        rk4_step(s, force, kDt);
        if (fabs(s[THETA]) > max_late && k * kDt >= 1.0) max_late = fabs(s[THETA]);
        if (fabs(s[THETA]) > 0.5 || !isfinite(s[THETA])) break; /* fallen past recovery */
    }

    /* Back-to-back passes on a fixed state give the steady-state cost
     * without the clock readings of the control loop. */
    const long reps = 200000;
    float in[4] = {0.1f, -0.2f, 0.05f, 0.3f};
    double t0 = now_ns();
    for (long i = 0; i < reps; ++i) tolvex_forward_pass(net, in, 4);
    double tight_ns = (now_ns() - t0) / (double)reps;

    int upright = fabs(s[THETA]) < 0.5 * kPi / 180.0 && max_late < 0.5;
    printf("\nfinal state after %.2f s: x = %+.4f m, x' = %+.4f m/s, angle = %+.4f deg, angle' = %+.4f deg/s\n",
           seconds, s[X], s[X_DOT], degrees(s[THETA]), degrees(s[THETA_DOT]));
    printf("largest angle after the first second: %.2f deg\n", degrees(max_late));
    printf("forward pass: %.0f ns (mean of %ld back-to-back passes), %.0f ns in the control loop\n", tight_ns,
           reps, loop_ns / (double)(passes > 0 ? passes : 1));
    printf("%s\n", upright ? "the pole stayed up" : "the pole fell");

    tolvex_free_model(net);
    tolvex_deinit();
    return upright ? 0 : 1;
}
