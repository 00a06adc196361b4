/* tolvex hash MODEL... */
#include "cli.h"
#include "fingerprint.h"

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

static int hash_model(const char* path) {
    tolvex_model* net = NULL;
    int rc = cli_load(&net, path);
    if (rc != CLI_OK) return rc;
    const uint32_t input_len = tolvex_get_input_len(net), output_len = tolvex_get_output_len(net);
    uint64_t h = 0;
    if (model_fingerprint(net, input_len, &h) != 0) {
        cli_error("hash: out of memory for an input of %u floats", input_len);
        rc = CLI_FAIL;
    }
    if (rc == CLI_OK)
        printf("%016llx  %s (%u input%s, %u output%s)\n", (unsigned long long)h, path, input_len,
               input_len == 1 ? "" : "s", output_len, output_len == 1 ? "" : "s");
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
