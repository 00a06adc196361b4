/* The fingerprint `tolvex hash` prints; its help text (cmd_hash.c) defines
 * the inputs and the hash. Public interface only, so the demo shares it. */
#include "fingerprint.h"

#include <stdlib.h>
#include <string.h>

enum { SPECIAL_VECTORS = 17, RANDOM_VECTORS = 64 };

static const uint32_t kSpecials[SPECIAL_VECTORS] = {
    0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007fffffu, 0x807fffffu,
    0x7f800000u, 0xff800000u, 0x7fc00000u, 0x3727c5acu, 0xb727c5acu, /* +-1e-5 */
    0x3f800000u, 0xbf800000u, 0x41200000u, 0xc1200000u, 0x42c80000u, 0xc2c80000u,
};

static const uint64_t kSeed = 0x746f6c766578u; /* "tolvex" */
static const uint64_t kFnvOffset = 0xcbf29ce484222325u, kFnvPrime = 0x100000001b3u;

static uint64_t splitmix64(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

static float from_bits(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof f);
    return f;
}

/* Folds one pass's outputs into the hash. */
static uint64_t hash_outputs(uint64_t h, const tolvex_model* net) {
    const float* y = tolvex_get_output_buffer(net);
    uint32_t n = tolvex_get_output_len(net);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t u;
        memcpy(&u, &y[i], sizeof u);
        if ((u & 0x7fffffffu) > 0x7f800000u) u = 0x7fc00000u;
        for (int b = 0; b < 4; ++b) {
            h ^= (u >> (8 * b)) & 0xffu;
            h *= kFnvPrime;
        }
    }
    return h;
}

int model_fingerprint(tolvex_model* net, uint32_t input_len, uint64_t* out) {
    float* x = malloc(((size_t)input_len + 1) * sizeof *x);
    if (x == NULL) return -1;
    uint64_t h = kFnvOffset;
    for (int k = 0; k < SPECIAL_VECTORS; ++k) {
        for (uint32_t i = 0; i < input_len; ++i) x[i] = from_bits(kSpecials[k]);
        tolvex_forward_pass(net, x, input_len);
        h = hash_outputs(h, net);
    }
    uint64_t state = kSeed;
    for (int k = 0; k < RANDOM_VECTORS; ++k) {
        for (uint32_t i = 0; i < input_len; ++i)
            x[i] = (float)((int32_t)(splitmix64(&state) >> 40) - 0x800000) / 2097152.0f;
        tolvex_forward_pass(net, x, input_len);
        h = hash_outputs(h, net);
    }
    free(x);
    *out = h;
    return 0;
}
