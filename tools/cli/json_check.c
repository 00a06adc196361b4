/* Whether a model survives being written as JSON: a check of its parameters
 * before the write, and a load and comparison of the file after it. Both
 * work on the model's binary encoding, the one exact view of a model that
 * the public interface gives. */
#define _XOPEN_SOURCE 700 /* realpath */
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"

/* Names as the JSON files spell them. */
static const char* type_name(uint32_t type) {
    static const char* const names[] = {"linear",  "layer_norm", "clip",    "elu",       "relu",
                                        "relu6",   "sigmoid",    "tanh",    "leaky_relu"};
    return type < sizeof names / sizeof names[0] ? names[type] : "unknown";
}

/* Where the first parameter that is not finite sits. */
typedef struct {
    uint32_t layer, type;
    const char* param; /* "weight", "bias", "eps", ... */
    int in_array;      /* index is meaningful */
    uint64_t index;
    uint32_t row_len; /* inputs per neuron of a linear weight, else 0 */
    float value;
} non_finite;

/* Reads n floats; 1 and *at set when one is not finite, 0 when all are, -1
 * when the encoding ends early. */
static int scan(FILE* f, uint64_t n, uint64_t* at, float* value) {
    float buf[1024];
    for (uint64_t done = 0; done < n;) {
        size_t want = n - done < 1024 ? (size_t)(n - done) : 1024;
        if (fread(buf, sizeof buf[0], want, f) != want) return -1;
        for (size_t i = 0; i < want; ++i) {
            if (!isfinite(buf[i])) {
                *at = done + i;
                *value = buf[i];
                return 1;
            }
        }
        done += want;
    }
    return 0;
}

/* A counted array (count, then its floats). */
static int scan_array(FILE* f, const char* param, non_finite* nf) {
    uint32_t n;
    if (fread(&n, 4, 1, f) != 1) return -1;
    int r = scan(f, n, &nf->index, &nf->value);
    if (r == 1) {
        nf->param = param;
        nf->in_array = 1;
    }
    return r;
}

/* One scalar parameter. */
static int scan_scalar(FILE* f, const char* param, non_finite* nf) {
    int r = scan(f, 1, &nf->index, &nf->value);
    if (r == 1) {
        nf->param = param;
        nf->in_array = 0;
    }
    return r;
}

/* Walks the layer records for the first parameter that is not finite. */
static int find(FILE* f, non_finite* nf) {
    uint32_t header[3], in;
    if (fread(header, 4, 3, f) != 3) return -1;
    in = header[1];
    for (uint32_t i = 0; i < header[2]; ++i) {
        uint32_t rec[2];
        if (fread(rec, 4, 2, f) != 2) return -1;
        nf->layer = i;
        nf->type = rec[0];
        nf->row_len = 0;
        int r = 0;
        switch (rec[0]) {
            case TYPE_LINEAR:
                r = scan_array(f, "weight", nf);
                if (r == 1) nf->row_len = in;
                if (r == 0) r = scan_array(f, "bias", nf);
                break;
            case TYPE_LAYER_NORM:
                r = scan_scalar(f, "eps", nf);
                if (r == 0) r = scan_array(f, "weight", nf);
                if (r == 0) r = scan_array(f, "bias", nf);
                break;
            case TYPE_CLIP:
                r = scan_scalar(f, "min", nf);
                if (r == 0) r = scan_scalar(f, "max", nf);
                break;
            case TYPE_ELU: r = scan_scalar(f, "alpha", nf); break;
            case TYPE_LEAKY_RELU: r = scan_scalar(f, "negative_slope", nf); break;
            default: break; /* relu, relu6, sigmoid, tanh carry no parameters */
        }
        if (r != 0) return r;
        in = rec[1];
    }
    return 0;
}

int cli_json_can_hold(const tolvex_model* net, const char* out) {
    char path[4096];
    if (cli_write_scratch(net, path, sizeof path) != CLI_OK) return CLI_FAIL;
    FILE* f = fopen(path, "rb");
    non_finite nf;
    int r = f != NULL ? find(f, &nf) : -1;
    if (f != NULL) fclose(f);
    unlink(path);
    if (r < 0) {
        cli_error("scratch file %s is not a readable tvxf file", path);
        return CLI_FAIL;
    }
    if (r == 0) return CLI_OK;
    const char* value = isnan(nf.value) ? "NaN" : nf.value > 0 ? "+infinity" : "-infinity";
    char where[160];
    if (nf.row_len != 0)
        snprintf(where, sizeof where, "%s %llu (neuron %llu, input %llu)", nf.param, (unsigned long long)nf.index,
                 (unsigned long long)(nf.index / nf.row_len), (unsigned long long)(nf.index % nf.row_len));
    else if (nf.in_array)
        snprintf(where, sizeof where, "%s %llu", nf.param, (unsigned long long)nf.index);
    else
        snprintf(where, sizeof where, "%s", nf.param);
    cli_error("cannot write %s: layer %u (%s): %s is %s, and no JSON number loads back as that; "
              "write a .tvxf file instead, which keeps every value exactly",
              out, nf.layer, type_name(nf.type), where, value);
    return CLI_FAIL;
}

/* 1 when the two files have the same bytes, 0 when not, -1 when one cannot
 * be read. */
static int same_bytes(const char* a, const char* b) {
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    int same = fa != NULL && fb != NULL ? 1 : -1;
    static char ba[65536], bb[65536];
    while (same == 1) {
        size_t na = fread(ba, 1, sizeof ba, fa), nb = fread(bb, 1, sizeof bb, fb);
        if (ferror(fa) || ferror(fb))
            same = -1;
        else if (na != nb || memcmp(ba, bb, na) != 0)
            same = 0;
        else if (na == 0)
            break;
    }
    if (fa != NULL) fclose(fa);
    if (fb != NULL) fclose(fb);
    return same;
}

/* 1 when the models have the same encoding, 0 when not, -1 on a failure
 * (reported). */
static int same_model(const tolvex_model* a, const tolvex_model* b) {
    char pa[4096], pb[4096];
    if (cli_write_scratch(a, pa, sizeof pa) != CLI_OK) return -1;
    int same = -1;
    if (cli_write_scratch(b, pb, sizeof pb) == CLI_OK) {
        same = same_bytes(pa, pb);
        if (same < 0) cli_error("cannot read back scratch files %s and %s", pa, pb);
        unlink(pb);
    }
    unlink(pa);
    return same;
}

/* Removes what a write put at `out`: the file itself, also when `out` is a
 * symbolic link to it. */
static void remove_output(const char* out) {
    char* real = realpath(out, NULL);
    if (real == NULL || unlink(real) != 0)
        cli_error("could not remove %s: %s", out, strerror(errno));
    free(real);
}

int cli_check_json_round_trip(const tolvex_model* net, const char* out) {
    struct stat st;
    if (stat(out, &st) != 0 || !S_ISREG(st.st_mode)) return CLI_OK;
    tolvex_model* back = NULL;
    tolvex_result r = tolvex_load_json(&back, out);
    int same = r == tolvex_Success ? same_model(net, back) : 0;
    if (r == tolvex_Success) tolvex_free_model(back);
    if (same == 1) return CLI_OK;
    remove_output(out);
    if (r != tolvex_Success)
        cli_error("%s does not load back (%s); removed it", out, tolvex_result_name(r));
    else if (same == 0)
        cli_error("%s loads back as a different model; removed it", out);
    else
        cli_error("could not compare %s with the model; removed it", out);
    return CLI_FAIL;
}
