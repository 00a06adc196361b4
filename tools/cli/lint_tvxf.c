/* tolvex lint over a binary tvxf model file: the records walked field by
 * field, each finding at the byte offset of its field. */
#include <stdio.h>
#include <string.h>

#include "lint.h"

typedef struct {
    FILE* f;
    uint64_t off;
    lint_report* r;
    int ended; /* the file ended inside a field; reported once */
} reader;

static lint_loc at(uint64_t off) { return (lint_loc){off, 0, 0}; }

/* Reads one 4-byte field; 0 at the end of the file, reported with the path
 * of the field it cut and what the field is. */
static int field(reader* rd, void* out, const char* path, const char* what) {
    size_t got = fread(out, 1, 4, rd->f);
    if (got == 4) {
        rd->off += 4;
        return 1;
    }
    if (!rd->ended)
        lint_add(rd->r, at(rd->off + got), 0, path, "the file ends inside %s; the loader refuses it", what);
    rd->ended = 1;
    return 0;
}

static int read_u32(reader* rd, uint32_t* v, const char* path) { return field(rd, v, path, "this field"); }

static int read_f32(reader* rd, float* v, lint_loc* loc, const char* path) {
    *loc = at(rd->off);
    return field(rd, v, path, "this value");
}

/* count floats of an array, checked as values at "<path>[k]", or as
 * "[n][j]" in rows of row_len when row_len is not 0. */
static int read_array(reader* rd, uint32_t count, uint64_t row_len, const char* path) {
    lint_array a = {rd->r, 0, "", at(rd->off), 0, 0, {0, 0, 0}};
    snprintf(a.path, sizeof a.path, "%s", path);
    char suffix[48];
    for (uint32_t k = 0; k < count; ++k) {
        float v;
        lint_loc loc;
        if (row_len != 0)
            snprintf(suffix, sizeof suffix, "[%llu][%llu]", (unsigned long long)(k / row_len),
                     (unsigned long long)(k % row_len));
        else
            snprintf(suffix, sizeof suffix, "[%u]", k);
        char p[112];
        snprintf(p, sizeof p, "%s%s", path, suffix);
        if (!read_f32(rd, &v, &loc, p)) return 0;
        lint_array_value(&a, loc, suffix, v, NULL);
    }
    lint_array_end(&a);
    return 1;
}

static int read_scalar(reader* rd, uint32_t i, const char* key, float* v, lint_loc* loc) {
    char path[64];
    snprintf(path, sizeof path, "layers[%u].%s", i, key);
    if (!read_f32(rd, v, loc, path)) return 0;
    lint_check_value(rd->r, *loc, 0, path, *v, NULL);
    return 1;
}

/* A weight or bias count and its array. want is the count the model needs. */
static int counted_array(reader* rd, uint32_t i, const char* key, uint64_t want, uint64_t row_len) {
    char path[64];
    snprintf(path, sizeof path, "layers[%u].%s", i, key);
    uint32_t count;
    lint_loc loc = at(rd->off);
    if (!field(rd, &count, path, "the count of this array")) return 0;
    if (count != want)
        lint_add(rd->r, loc, 0, path, "a count of %u, but the layer needs %llu; the loader refuses it", count,
                 (unsigned long long)want);
    return read_array(rd, count, count == want ? row_len : 0, path);
}

/* One layer record; prev is the length of the layer's input. 0 when the
 * walk cannot go on. */
static int layer(reader* rd, uint32_t i, uint64_t* prev, uint32_t input_size) {
    char path[64];
    uint32_t type, size;
    lint_loc type_loc = at(rd->off);
    snprintf(path, sizeof path, "layers[%u].type", i);
    if (!read_u32(rd, &type, path)) return 0;
    lint_loc size_loc = at(rd->off);
    snprintf(path, sizeof path, "layers[%u].size", i);
    if (!read_u32(rd, &size, path)) return 0;
    if (type >= LINT_TYPE_COUNT) {
        snprintf(path, sizeof path, "layers[%u].type", i);
        lint_add(rd->r, type_loc, 0, path, "type code %u is not a layer type (0 to 8); the loader refuses it",
                 type);
        return 0;
    }
    /* The length the layer works in: its own size where it has a buffer of
     * its own (layer 0, every linear layer), else its input's. */
    uint64_t len = i == 0 || type == LINT_LINEAR ? size : *prev;
    lint_layer facts = {0};
    facts.index = i;
    facts.type = (int)type;
    facts.input_known = 1;
    facts.input_size = *prev;
    facts.has_size = 1;
    facts.size = size;
    facts.size_loc = size_loc;
    switch (type) {
        case LINT_LINEAR:
            if (!counted_array(rd, i, "weight", (uint64_t)size * *prev, *prev)) return 0;
            if (!counted_array(rd, i, "bias", size, 0)) return 0;
            break;
        case LINT_LAYER_NORM:
            if (!read_scalar(rd, i, "eps", &facts.eps, &facts.eps_loc)) return 0;
            facts.has_eps = 1;
            if (!counted_array(rd, i, "weight", len, 0)) return 0;
            if (!counted_array(rd, i, "bias", len, 0)) return 0;
            break;
        case LINT_CLIP:
            if (!read_scalar(rd, i, "min", &facts.min, &facts.min_loc)) return 0;
            if (!read_scalar(rd, i, "max", &facts.max, &facts.max_loc)) return 0;
            facts.has_clip = 1;
            break;
        case LINT_ELU: {
            float alpha;
            lint_loc loc;
            if (!read_scalar(rd, i, "alpha", &alpha, &loc)) return 0;
            break;
        }
        case LINT_LEAKY_RELU: {
            float slope;
            lint_loc loc;
            if (!read_scalar(rd, i, "negative_slope", &slope, &loc)) return 0;
            break;
        }
        default: break; /* relu, relu6, sigmoid, tanh: no payload */
    }
    if (i == 0 && type != LINT_LINEAR && size != input_size) {
        snprintf(path, sizeof path, "layers[%u].size", i);
        lint_add(rd->r, size_loc, 0, path,
                 "%u, but the input size is %u; a first layer that is not linear keeps the input's length, "
                 "and the "
                 "loader refuses it",
                 size, input_size);
    }
    lint_check_layer(rd->r, &facts);
    if (type == LINT_LINEAR || type == LINT_LAYER_NORM) *prev = len;
    return 1;
}

int lint_tvxf(const char* path, lint_report* r) {
    reader rd = {fopen(path, "rb"), 0, r, 0};
    if (rd.f == NULL) return -1;
    char magic[4];
    uint32_t input_size, count;
    if (!field(&rd, magic, "", "the magic \"tvxf\"")) goto done;
    if (memcmp(magic, "tvxf", 4) != 0) {
        lint_add(r, at(0), 0, "", "the file does not start with \"tvxf\"; the loader refuses it");
        goto done;
    }
    if (!read_u32(&rd, &input_size, "input_size") || !field(&rd, &count, "layers", "the layer count"))
        goto done;
    uint64_t prev = input_size;
    uint32_t i = 0;
    for (; i < count; ++i)
        if (!layer(&rd, i, &prev, input_size)) break;
    if (i == count) {
        uint64_t end = rd.off;
        while (getc(rd.f) != EOF) ++end;
        if (end > rd.off)
            lint_add(r, at(rd.off), 0, "", "%llu bytes after the last layer record, which the loader ignores",
                     (unsigned long long)(end - rd.off));
    }
done:;
    int failed = ferror(rd.f) != 0;
    fclose(rd.f);
    return failed ? -1 : 0;
}
