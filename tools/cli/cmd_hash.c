/* tolvex hash MODEL... */
#include <stdlib.h>
#include <string.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex hash MODEL...\n"
    "\n"
    "Prints a fingerprint of what each MODEL computes, one line per model:\n"
    "\n"
    "    <16 hex digits>  MODEL (N inputs, M outputs)\n"
    "\n"
    "Two machines that print the same fingerprint for a model computed the same\n"
    "output bits on the same 81 input vectors of N values each:\n"
    "  - 17 vectors each filled with one special value, in this order: +0, -0,\n"
    "    0x1p-149 and -0x1p-149 (the smallest subnormals), 0x1.fffffcp-127 and\n"
    "    -0x1.fffffcp-127 (the largest), +inf, -inf, NaN (0x7fc00000), 1e-5,\n"
    "    -1e-5, 1, -1, 10, -10, 100, -100;\n"
    "  - 64 pseudo-random vectors: splitmix64 seeded with 0x746f6c766578 gives\n"
    "    one 64-bit draw per value, vector after vector, element after element;\n"
    "    the top 24 bits r of a draw give the value (r - 2^23) / 2^21, which is\n"
    "    exact, uniform in [-4, 4).\n"
    "The fingerprint is the 64-bit FNV-1a hash of every output of every vector\n"
    "in that order, each as the 4 little-endian bytes of its bit pattern, with\n"
    "every NaN hashed as 0x7fc00000 (the library promises NaN outputs, not\n"
    "their payloads). The same model in JSON and tvxf gives the same\n"
    "fingerprint.\n";

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

static int hash_model(const char* path) {
    tolvex_model* net = NULL;
    int rc = cli_load(&net, path);
    if (rc != CLI_OK) return rc;
    cli_summary s = {tolvex_get_input_len(net), tolvex_get_output_len(net), 0, 0, 0, 0};
    float* x = malloc(((size_t)s.input_size + 1) * sizeof *x);
    if (x == NULL) {
        cli_error("hash: out of memory for an input of %u floats", s.input_size);
        rc = CLI_FAIL;
    }
    if (rc == CLI_OK) {
        uint64_t h = kFnvOffset;
        for (int k = 0; k < SPECIAL_VECTORS; ++k) {
            for (uint32_t i = 0; i < s.input_size; ++i) x[i] = from_bits(kSpecials[k]);
            tolvex_forward_pass(net, x, s.input_size);
            h = hash_outputs(h, net);
        }
        uint64_t state = kSeed;
        for (int k = 0; k < RANDOM_VECTORS; ++k) {
            for (uint32_t i = 0; i < s.input_size; ++i)
                x[i] = (float)((int32_t)(splitmix64(&state) >> 40) - 0x800000) / 2097152.0f;
            tolvex_forward_pass(net, x, s.input_size);
            h = hash_outputs(h, net);
        }
        printf("%016llx  %s (%u input%s, %u output%s)\n", (unsigned long long)h, path, s.input_size,
               s.input_size == 1 ? "" : "s", s.output_size, s.output_size == 1 ? "" : "s");
    }
    free(x);
    tolvex_free_model(net);
    return rc;
}

int cmd_hash(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    if (argc < 2) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    /* Like sha256sum: every model gets its line or its error. */
    int rc = CLI_OK;
    for (int i = 1; i < argc; ++i) {
        int r = hash_model(argv[i]);
        if (rc == CLI_OK) rc = r;
    }
    if (fflush(stdout) != 0 && rc == CLI_OK) {
        cli_error("hash: cannot write the fingerprint");
        rc = CLI_FAIL;
    }
    return rc;
}
