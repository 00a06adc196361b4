/* tolvex lint: layer types and their keys, the guesses behind "did you
 * mean", and the checks that apply to a model whatever its file format. */
#include <ctype.h>
#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "lint.h"

static const char* const kTypeNames[LINT_TYPE_COUNT] = {
    "linear", "layer_norm", "clip", "elu", "relu", "relu6", "sigmoid", "tanh", "leaky_relu",
};

/* The parameter keys each type reads, in the order of the type codes. */
static const char* const kTypeKeys[LINT_TYPE_COUNT][3] = {
    {"weight", "bias", NULL}, {"weight", "bias", "eps"}, {"min", "max", NULL},
    {"alpha", NULL, NULL},    {NULL, NULL, NULL},        {NULL, NULL, NULL},
    {NULL, NULL, NULL},       {NULL, NULL, NULL},        {"negative_slope", NULL, NULL},
};

const char* lint_type_name(int t) { return t >= 0 && t < LINT_TYPE_COUNT ? kTypeNames[t] : "?"; }

int lint_type_of(const char* name) {
    for (int t = 0; t < LINT_TYPE_COUNT; ++t)
        if (strcmp(name, kTypeNames[t]) == 0) return t;
    return -1;
}

int lint_type_reads(int t, const char* key) {
    for (int k = 0; k < 3 && kTypeKeys[t][k] != NULL; ++k)
        if (strcmp(key, kTypeKeys[t][k]) == 0) return 1;
    return 0;
}

int lint_key_owner(const char* key) {
    for (int t = 0; t < LINT_TYPE_COUNT; ++t)
        if (lint_type_reads(t, key)) return t;
    return -1;
}

/* ---------------------------------------------------------------------------
 * Guessing what a name meant. Names are compared folded: lower case, with
 * '_', '-' and blanks left out, so "LeakyReLU", "leaky-relu" and "leakyRelu"
 * are one name. Past that, a few names other libraries use, and then names
 * one or two edits away (a swap of neighbours is one edit). */

enum { FOLD_MAX = 64 };

static void fold(const char* s, char out[FOLD_MAX]) {
    size_t n = 0;
    for (; *s != '\0' && n + 1 < FOLD_MAX; ++s)
        if (*s != '_' && *s != '-' && *s != ' ') out[n++] = (char)tolower((unsigned char)*s);
    out[n] = '\0';
}

/* Optimal string alignment distance, for names of fewer than FOLD_MAX
 * characters. */
static size_t distance(const char* a, const char* b) {
    size_t la = strlen(a), lb = strlen(b);
    static size_t d[FOLD_MAX + 1][FOLD_MAX + 1];
    for (size_t i = 0; i <= la; ++i) d[i][0] = i;
    for (size_t j = 0; j <= lb; ++j) d[0][j] = j;
    for (size_t i = 1; i <= la; ++i) {
        for (size_t j = 1; j <= lb; ++j) {
            size_t best = d[i - 1][j - 1] + (a[i - 1] != b[j - 1]);
            if (d[i - 1][j] + 1 < best) best = d[i - 1][j] + 1;
            if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] && d[i - 2][j - 2] + 1 < best)
                best = d[i - 2][j - 2] + 1;
            d[i][j] = best;
        }
    }
    return d[la][lb];
}

/* Names of other libraries and spellings past the reach of the distance,
 * folded, with the name they stand for. */
static const char* const kAliases[][2] = {
    {"epsilon", "eps"},
    {"weights", "weight"},
    {"biases", "bias"},
    {"slope", "negative_slope"},
    {"minval", "min"},
    {"minimum", "min"},
    {"maxval", "max"},
    {"maximum", "max"},
    {"outfeatures", "size"},
    {"units", "size"},
    {"hardtanh", "clip"},
    {"clamp", "clip"},
    {"dense", "linear"},
    {"gemm", "linear"},
    {"fullyconnected", "linear"},
    {"layernormalization", "layer_norm"},
    {"logistic", "sigmoid"},
};

const char* lint_closest(const char* key, const char* const* candidates, size_t count) {
    char k[FOLD_MAX], c[FOLD_MAX];
    fold(key, k);
    if (strlen(key) >= FOLD_MAX || k[0] == '\0') return NULL;
    for (size_t i = 0; i < count; ++i) {
        fold(candidates[i], c);
        if (strcmp(k, c) == 0) return candidates[i];
    }
    for (size_t a = 0; a < sizeof kAliases / sizeof kAliases[0]; ++a) {
        if (strcmp(k, kAliases[a][0]) != 0) continue;
        for (size_t i = 0; i < count; ++i)
            if (strcmp(candidates[i], kAliases[a][1]) == 0) return candidates[i];
    }
    const char* best = NULL;
    size_t best_d = 3;
    for (size_t i = 0; i < count; ++i) {
        fold(candidates[i], c);
        size_t longer = strlen(k) > strlen(c) ? strlen(k) : strlen(c);
        size_t limit = longer <= 4 ? 1 : 2;
        size_t d = distance(k, c);
        if (d <= limit && d < best_d) {
            best = candidates[i];
            best_d = d;
        }
    }
    return best;
}

int lint_type_suggestion(const char* name) {
    const char* s = lint_closest(name, kTypeNames, LINT_TYPE_COUNT);
    return s == NULL ? -1 : lint_type_of(s);
}

const char* lint_key_suggestion(int t, const char* key) {
    const char* candidates[5] = {"type", "size"};
    size_t n = 2;
    for (int k = 0; k < 3 && kTypeKeys[t][k] != NULL; ++k) candidates[n++] = kTypeKeys[t][k];
    return lint_closest(key, candidates, n);
}

/* ---------------------------------------------------------------------------
 * Checks on what the model holds. */

/* The text of a non-finite or subnormal value, or NULL for a normal one. */
static const char* value_kind(float v) {
    if (isnan(v)) return "non-finite";
    if (isinf(v)) return "non-finite";
    if (v != 0.0f && fabsf(v) < FLT_MIN) return "subnormal";
    return NULL;
}

/* Whether the JSON text of a number that loads as v says something else:
 * a finite number that overflows, or a nonzero one that rounds to 0. */
static int is_zero_text(const char* written) {
    for (const char* p = written; *p != '\0' && *p != 'e' && *p != 'E'; ++p)
        if (*p >= '1' && *p <= '9') return 0;
    return 1;
}

static void describe(char* out, size_t cap, float v) {
    if (isnan(v))
        snprintf(out, cap, "NaN");
    else if (isinf(v))
        snprintf(out, cap, "%s", v > 0 ? "+inf" : "-inf");
    else
        snprintf(out, cap, "%.9g", (double)v);
}

void lint_check_value(lint_report* r, lint_loc loc, int tag, const char* path, float v, const char* written) {
    const char* kind = value_kind(v);
    char text[32];
    describe(text, sizeof text, v);
    if (kind == NULL) {
        if (written != NULL && v == 0.0f && !is_zero_text(written))
            lint_add(r, loc, tag, path, "%s is too small for a 32-bit float and loads as %s", written, text);
        return;
    }
    if (isinf(v) && written != NULL)
        lint_add(r, loc, tag, path, "non-finite value %s (%s is beyond the range of a 32-bit float)", text,
                 written);
    else if (isnan(v) || isinf(v))
        lint_add(r, loc, tag, path, "non-finite value %s", text);
    else
        lint_add(r, loc, tag, path,
                 "subnormal value %s: slow on many CPUs, and 0 wherever subnormals are flushed to zero",
                 text);
}

void lint_array_value(lint_array* a, lint_loc loc, const char* path_suffix, float v, const char* written) {
    int odd = value_kind(v) != NULL || (written != NULL && v == 0.0f && !is_zero_text(written));
    if (!odd) return;
    if (a->reported == LINT_VALUES_PER_ARRAY) {
        if (a->more++ == 0) a->more_loc = loc;
        return;
    }
    ++a->reported;
    char path[96];
    snprintf(path, sizeof path, "%s%s", a->path, path_suffix);
    lint_check_value(a->report, loc, a->tag, path, v, written);
}

void lint_array_end(lint_array* a) {
    if (a->more > 0)
        lint_add(a->report, a->more_loc, a->tag, a->path,
                 "%zu more non-finite, subnormal or vanishing value%s from here on, not listed one by one",
                 a->more, a->more == 1 ? "" : "s");
    a->reported = a->more = 0;
}

void lint_check_layer(lint_report* r, const lint_layer* l) {
    char path[64];
    if (l->index > 0 && l->type != LINT_LINEAR && l->has_size && l->input_known && l->size != l->input_size) {
        snprintf(path, sizeof path, "layers[%u].size", l->index);
        lint_add(r, l->size_loc, 0, path,
                 "%llu differs from the layer's input size %llu; the loader ignores it and uses %llu",
                 (unsigned long long)l->size, (unsigned long long)l->input_size,
                 (unsigned long long)l->input_size);
    }
    if (l->type == LINT_CLIP && l->has_clip && l->min > l->max) {
        snprintf(path, sizeof path, "layers[%u].min", l->index);
        lint_add(r, l->min_loc, 0, path,
                 "min %.9g is greater than max %.9g: inputs below %.9g become %.9g, all others %.9g",
                 (double)l->min, (double)l->max, (double)l->min, (double)l->min, (double)l->max);
    }
    if (l->type == LINT_LAYER_NORM && l->has_eps && l->eps <= 0.0f) {
        snprintf(path, sizeof path, "layers[%u].eps", l->index);
        lint_add(r, l->eps_loc, 0, path,
                 "eps %.9g is not positive: an input whose elements are all equal makes the layer divide by "
                 "zero or take the root of a negative number",
                 (double)l->eps);
    }
}
