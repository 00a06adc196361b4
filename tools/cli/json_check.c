/* Whether a model survives being written as JSON: a check of its parameters
 * before the write, and a load and comparison of the file after it. Both
 * work on the model's binary encoding, the one exact view of a model that
 * the public interface gives, which the library writes into a pipe: no file
 * is made for it. */
#define _XOPEN_SOURCE 700 /* realpath, fmemopen */
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"

/* The model's tvxf encoding in a new malloc'd block (*bytes, *len). A child
 * process has the library write it into a pipe (its /dev/fd name: the
 * library writes pipes in place), while this one reads the other end.
 * CLI_FAIL, reported, when that fails. */
static int encode_tvxf(const tolvex_model* net, unsigned char** bytes, size_t* len) {
    int p[2];
    if (pipe(p) != 0) {
        cli_error("cannot make a pipe for the model's encoding: %s", strerror(errno));
        return CLI_FAIL;
    }
    fflush(NULL); /* nothing buffered gets written twice */
    pid_t pid = fork();
    if (pid < 0) {
        cli_error("cannot start a process for the model's encoding: %s", strerror(errno));
        close(p[0]);
        close(p[1]);
        return CLI_FAIL;
    }
    if (pid == 0) {
        close(p[0]);
        char path[32];
        snprintf(path, sizeof path, "/dev/fd/%d", p[1]);
        _exit((int)tolvex_write_tvxf(net, path));
    }
    close(p[1]);
    unsigned char* buf = NULL;
    size_t n = 0, cap = 0;
    int read_error = 0;
    for (;;) {
        if (n == cap) {
            size_t grown = cap == 0 ? 65536 : cap * 2;
            unsigned char* t = realloc(buf, grown);
            if (t == NULL) {
                read_error = ENOMEM;
                break;
            }
            buf = t;
            cap = grown;
        }
        ssize_t got = read(p[0], buf + n, cap - n);
        if (got > 0) {
            n += (size_t)got;
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            read_error = errno;
            break;
        }
    }
    close(p[0]); /* a writer still at it now fails, and ends */
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (read_error != 0 || code != 0) {
        if (read_error != 0)
            cli_error("cannot read the model's encoding: %s", strerror(read_error));
        else
            cli_error("cannot encode the model: %s",
                      code < 0 ? "the writer died" : tolvex_result_name((tolvex_result)code));
        free(buf);
        return CLI_FAIL;
    }
    *bytes = buf;
    *len = n;
    return CLI_OK;
}

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
    unsigned char* bytes;
    size_t len;
    if (encode_tvxf(net, &bytes, &len) != CLI_OK) return CLI_FAIL;
    FILE* f = len != 0 ? fmemopen(bytes, len, "rb") : NULL;
    non_finite nf;
    int r = f != NULL ? find(f, &nf) : -1;
    if (f != NULL) fclose(f);
    free(bytes);
    if (r < 0) {
        cli_error("the model's encoding cannot be read back");
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

/* 1 when the models have the same encoding, 0 when not, -1 on a failure
 * (reported). */
static int same_model(const tolvex_model* a, const tolvex_model* b) {
    unsigned char *ea, *eb;
    size_t na, nb;
    if (encode_tvxf(a, &ea, &na) != CLI_OK) return -1;
    int same = -1;
    if (encode_tvxf(b, &eb, &nb) == CLI_OK) {
        same = na == nb && memcmp(ea, eb, na) == 0;
        free(eb);
    }
    free(ea);
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
