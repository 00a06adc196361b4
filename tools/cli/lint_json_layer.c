/* tolvex lint over a JSON model file: the judgement of one layer, once the
 * walk (lint_json.c) has read the whole of its object. Keys come in any
 * order, so nothing about a layer is settled before its closing brace. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "lint_json.h"

/* Formats a path into buf and gives buf. */
static const char* pathf(char* buf, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
static const char* pathf(char* buf, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
    return buf;
}

static const char* plural(size_t n) { return n == 1 ? "" : "s"; }

/* The layer's type, judged; the type its checks go on with (a likely meaning
 * of a wrong name), or -1. */
static int judge_type(walker* w, const layer_rec* L, const char* base) {
    char path[96], name[64];
    snprintf(path, sizeof path, "%s.type", base);
    if (!L->has_type) {
        lint_add(w->r, L->start, 0, base, "no \"type\"; the loader refuses the layer");
        return -1;
    }
    if (!L->type_is_string) {
        lint_add(w->r, L->type_loc, 0, path, "\"type\" must be a string naming the layer type");
        return -1;
    }
    int t = lint_type_of(L->type_text);
    if (t >= 0) return t;
    lint_json_printable(L->type_text, name, sizeof name);
    t = lint_type_suggestion(L->type_text);
    if (t >= 0 && strcasecmp(L->type_text, lint_type_name(t)) == 0)
        lint_add(w->r, L->type_loc, 0, path, "type names are lower case: \"%s\" -> \"%s\"", name,
                 lint_type_name(t));
    else if (t >= 0)
        lint_add(w->r, L->type_loc, 0, path, "\"%s\" is not a layer type; did you mean \"%s\"?", name,
                 lint_type_name(t));
    else
        lint_add(
            w->r, L->type_loc, 0, path,
            "\"%s\" is not a layer type (the types: linear, layer_norm, clip, elu, relu, relu6, sigmoid, "
            "tanh, leaky_relu)",
            name);
    return t;
}

/* The default a missing optional parameter takes, as text, or NULL. */
static const char* default_of(const char* key) {
    if (strcmp(key, "eps") == 0) return "1e-05";
    if (strcmp(key, "alpha") == 0) return "1";
    if (strcmp(key, "negative_slope") == 0) return "0.01";
    return NULL;
}

static int has_key(const layer_rec* L, const char* key) {
    for (size_t i = 0; i < L->nkeys; ++i)
        if (strcmp(L->keys[i].name, key) == 0) return 1;
    return 0;
}

static void judge_keys(walker* w, const layer_rec* L, int t, const char* base) {
    char path[160], name[64];
    for (size_t i = 0; i < L->nkeys; ++i) {
        const char* key = L->keys[i].name;
        if (strcmp(key, "type") == 0 || strcmp(key, "size") == 0 || lint_type_reads(t, key)) continue;
        lint_json_printable(key, name, sizeof name);
        snprintf(path, sizeof path, "%s.%s", base, name);
        const char* meant = lint_key_suggestion(t, key);
        int owner = lint_key_owner(key);
        if (meant != NULL) {
            const char* dflt = has_key(L, meant) ? NULL : default_of(meant);
            char stays[96] = "";
            if (dflt != NULL) snprintf(stays, sizeof stays, ", so %s is %s", meant, dflt);
            lint_add(w->r, L->keys[i].loc, 0, path,
                     "unknown key \"%s\", ignored by the loader%s; did you mean \"%s\"?", name, stays, meant);
        } else if (owner >= 0) {
            lint_add(w->r, L->keys[i].loc, 0, path,
                     "\"%s\" is a parameter of %s layers; a %s layer ignores it", name, lint_type_name(owner),
                     lint_type_name(t));
        } else {
            lint_add(w->r, L->keys[i].loc, 0, path, "unknown key \"%s\", ignored by the loader", name);
        }
    }
}

static void missing(walker* w, const layer_rec* L, const char* base, int present, const char* key, int t) {
    if (!present)
        lint_add(w->r, L->start, 0, base, "no \"%s\", which a %s layer needs; the loader refuses the layer",
                 key, lint_type_name(t));
}

/* A parameter the type reads: a number, in range, and not odd. */
static void judge_scalar(walker* w, const scalar* v, const char* base, const char* key) {
    if (!v->present) return;
    char path[96];
    snprintf(path, sizeof path, "%s.%s", base, key);
    if (!v->is_number)
        lint_add(w->r, v->loc, 0, path, "must be a number; the loader refuses the layer");
    else if (v->beyond_double)
        lint_add(w->r, v->loc, 0, path, "%s is beyond the range of a double; the loader refuses it", v->text);
    else
        lint_check_value(w->r, v->loc, 0, path, v->f, v->text);
}

/* The linear layer's shape; returns its output length (or -1 if unknown). */
static long long judge_linear(walker* w, const layer_rec* L, const char* base) {
    char path[96], p[128];
    snprintf(path, sizeof path, "%s.weight", base);
    if (L->has_weight && !L->weight_is_array)
        lint_add(w->r, L->weight_loc, 0, path, "must be an array of rows; the loader refuses the layer");
    if (L->has_bias && (!L->bias_is_array || L->b_other > 0))
        lint_add(w->r, L->bias_loc, 0, pathf(p, sizeof p, "%s.bias", base),
                 "must be an array of numbers; the loader refuses the layer");
    if (!L->has_weight || !L->weight_is_array) return L->size_ok ? (long long)L->size : -1;
    if (L->w_numbers > 0 && L->w_rows == 0 && L->w_other == 0) {
        size_t rows = L->has_bias ? L->b_numbers : L->size_ok ? L->size : 0;
        if (w->prev_known && rows > 0 && L->w_numbers == rows * w->prev)
            lint_add(w->r, L->weight_loc, 0, path,
                     "a flat array of %zu numbers; a linear layer's weights are one row (array) per output "
                     "neuron: %zu rows of %llu",
                     L->w_numbers, rows, (unsigned long long)w->prev);
        else
            lint_add(w->r, L->weight_loc, 0, path,
                     "a flat array of %zu numbers; a linear layer's weights are one row (array) per output "
                     "neuron, each as long as the layer's input",
                     L->w_numbers);
        return L->size_ok ? (long long)L->size : -1;
    }
    if (L->w_numbers > 0 || L->w_other > 0) {
        lint_add(w->r, L->weight_loc, 0, path,
                 "must hold only rows (arrays of numbers); the loader refuses the layer");
        return L->size_ok ? (long long)L->size : -1;
    }
    if (L->has_bias && L->bias_is_array && L->w_rows != L->b_numbers + L->b_other)
        lint_add(w->r, L->weight_loc, 0, path, "%zu row%s, but \"bias\" has %zu number%s; they must match",
                 L->w_rows, plural(L->w_rows), L->b_numbers + L->b_other, plural(L->b_numbers + L->b_other));
    if (L->odd_row)
        lint_add(w->r, L->odd_row_loc, 0, pathf(p, sizeof p, "%s[%zu]", path, L->odd_row_index),
                 "a row must hold only numbers; the loader refuses the layer");
    if (L->bad_row)
        lint_add(w->r, L->bad_row_loc, 0, pathf(p, sizeof p, "%s[%zu]", path, L->bad_row_index),
                 "%zu number%s, but the layer's input has %llu", L->bad_row_len, plural(L->bad_row_len),
                 (unsigned long long)w->prev);
    if (L->size_ok && L->size != L->w_rows)
        lint_add(w->r, L->size_loc, 0, pathf(p, sizeof p, "%s.size", base),
                 "%llu, but \"weight\" has %zu row%s; they must match", (unsigned long long)L->size,
                 L->w_rows, plural(L->w_rows));
    return (long long)L->w_rows;
}

static long long judge_layer_norm(walker* w, const layer_rec* L, const char* base) {
    char path[96], p[128];
    snprintf(path, sizeof path, "%s.weight", base);
    if (L->has_weight && (!L->weight_is_array || L->w_rows > 0 || L->w_other > 0)) {
        lint_add(
            w->r, L->weight_loc, 0, path,
            "a layer_norm's weights are one number per element (a flat array); the loader refuses the layer");
        return -1;
    }
    if (L->has_bias && (!L->bias_is_array || L->b_other > 0))
        lint_add(w->r, L->bias_loc, 0, pathf(p, sizeof p, "%s.bias", base),
                 "must be an array of numbers; the loader refuses the layer");
    if (!L->has_weight) return -1;
    if (L->has_bias && L->bias_is_array && L->w_numbers != L->b_numbers + L->b_other)
        lint_add(w->r, L->weight_loc, 0, path, "%zu number%s, but \"bias\" has %zu; they must match",
                 L->w_numbers, plural(L->w_numbers), L->b_numbers + L->b_other);
    if (w->prev_known && L->w_numbers != w->prev)
        lint_add(w->r, L->weight_loc, 0, path, "%zu number%s, but the layer's input has %llu", L->w_numbers,
                 plural(L->w_numbers), (unsigned long long)w->prev);
    return (long long)L->w_numbers;
}

void lint_json_judge_layer(walker* w, layer_rec* L, size_t mark) {
    char base[32];
    snprintf(base, sizeof base, "layers[%u]", L->index);
    int t = judge_type(w, L, base);
    if (t < 0) {
        lint_drop_tagged(w->r, mark, TAG_WEIGHT);
        lint_drop_tagged(w->r, mark, TAG_BIAS);
        w->prev_known = 0;
        return;
    }
    judge_keys(w, L, t, base);
    if (!lint_type_reads(t, "weight")) lint_drop_tagged(w->r, mark, TAG_WEIGHT);
    if (!lint_type_reads(t, "bias")) lint_drop_tagged(w->r, mark, TAG_BIAS);

    int owns_buf = L->index == 0 || t == LINT_LINEAR;
    if (owns_buf && !L->has_size)
        lint_add(w->r, L->start, 0, base, "no \"size\", which the first layer and every linear layer need");
    char p[96];
    if (L->has_size && !L->size_ok)
        lint_add(w->r, L->size_loc, 0, pathf(p, sizeof p, "%s.size", base),
                 "must be an integer from 0 to 4294967295%s",
                 owns_buf ? "; the loader refuses the layer" : "");
    if (t == LINT_LINEAR || t == LINT_LAYER_NORM) {
        missing(w, L, base, L->has_weight, "weight", t);
        missing(w, L, base, L->has_bias, "bias", t);
    }
    if (t == LINT_CLIP) {
        missing(w, L, base, L->min.present, "min", t);
        missing(w, L, base, L->max.present, "max", t);
    }
    judge_scalar(w, &L->eps, base, "eps");
    judge_scalar(w, &L->min, base, "min");
    judge_scalar(w, &L->max, base, "max");
    judge_scalar(w, &L->alpha, base, "alpha");
    judge_scalar(w, &L->negative_slope, base, "negative_slope");

    if (L->index == 0 && t != LINT_LINEAR && L->size_ok && w->input_known && L->size != w->input_size)
        lint_add(
            w->r, L->size_loc, 0, pathf(p, sizeof p, "%s.size", base),
            "%llu, but \"input_size\" is %llu; a first layer that is not linear keeps the input's length, "
            "and the loader refuses it",
            (unsigned long long)L->size, (unsigned long long)w->input_size);

    lint_layer facts = {0};
    facts.index = L->index;
    facts.type = t;
    facts.input_known = w->prev_known;
    facts.input_size = w->prev;
    facts.has_size = L->size_ok;
    facts.size = L->size;
    facts.size_loc = L->size_loc;
    facts.has_clip = L->min.is_number && L->max.is_number;
    facts.min = L->min.f;
    facts.max = L->max.f;
    facts.min_loc = L->min.loc;
    facts.max_loc = L->max.loc;
    facts.has_eps = L->eps.is_number;
    facts.eps = L->eps.f;
    facts.eps_loc = L->eps.loc;
    lint_check_layer(w->r, &facts);

    long long out = t == LINT_LINEAR       ? judge_linear(w, L, base)
                    : t == LINT_LAYER_NORM ? judge_layer_norm(w, L, base)
                                           : (w->prev_known ? (long long)w->prev : -1);
    w->prev_known = out >= 0;
    w->prev = out >= 0 ? (uint64_t)out : 0;
}
