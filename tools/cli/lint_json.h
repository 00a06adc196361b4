/* tolvex lint over a JSON model file: what the walk (lint_json.c) keeps of
 * each layer, for the judgement of the layer (lint_json_layer.c) once its
 * closing brace is read. */
#ifndef TOLVEX_CLI_LINT_JSON_H
#define TOLVEX_CLI_LINT_JSON_H

#include <stddef.h>
#include <stdint.h>

#include "json_scan.h"
#include "lint.h"

/* Tags of findings that stand only if the layer's type reads the key. */
enum { TAG_WEIGHT = 1, TAG_BIAS = 2 };

typedef struct {
    int present, is_number, beyond_double;
    float f;
    char text[40];
    lint_loc loc;
} scalar;

typedef struct {
    char name[64];
    lint_loc loc;
} seen_key;

typedef struct {
    uint32_t index;
    lint_loc start;
    seen_key* keys;
    size_t nkeys, capkeys;
    int has_type, type_is_string;
    char type_text[64];
    lint_loc type_loc;
    int has_size, size_ok;
    uint64_t size;
    lint_loc size_loc;
    int has_weight, weight_is_array;
    lint_loc weight_loc;
    size_t w_numbers, w_rows, w_other;
    int bad_row; /* the first row whose length is not the input size */
    size_t bad_row_index, bad_row_len;
    lint_loc bad_row_loc;
    int odd_row; /* the first row that holds something other than numbers */
    size_t odd_row_index;
    lint_loc odd_row_loc;
    int has_bias, bias_is_array;
    lint_loc bias_loc;
    size_t b_numbers, b_other;
    scalar eps, min, max, alpha, negative_slope;
} layer_rec;

typedef struct {
    js_scanner s;
    lint_report* r;
    int input_known;
    uint64_t input_size;
    int prev_known; /* the running input length, as the loader keeps it */
    uint64_t prev;
} walker;

/* Copies a key into out for a message: anything unprintable becomes '?'. */
void lint_json_printable(const char* in, char* out, size_t cap);

/* Judges a complete layer: its type, keys, shapes and values, and the
 * findings from index `mark` on that its type makes moot. Advances the
 * walker's running input length past the layer. */
void lint_json_judge_layer(walker* w, layer_rec* L, size_t mark);

#endif
