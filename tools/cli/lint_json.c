/* tolvex lint over a JSON model file.
 *
 * Two passes over the file: the first checks the syntax and finds
 * "input_size" (which may come after "layers"), the second walks the model
 * object, layer by layer, keeping of each layer only what its checks need.
 * A layer's keys may come in any order, so its findings are settled at its
 * closing brace (lint_json_layer.c); the values inside "weight" and "bias"
 * are checked as they stream by and dropped again if the layer's type turns
 * out not to read them. */
#include "lint_json.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

void lint_json_printable(const char* in, char* out, size_t cap) {
    size_t n = 0;
    for (; *in != '\0' && n + 1 < cap; ++in)
        out[n++] = ((unsigned char)*in >= 0x20 && *in != 0x7F) ? *in : '?';
    out[n] = '\0';
}

static void syntax_finding(walker* w) { lint_add(w->r, w->s.loc, 0, "", "%s", w->s.error); }

/* An unsigned 32-bit integer written as a JSON integer. */
static int read_u32(const js_scanner* s, uint64_t* out) {
    if (s->kind != JS_NUMBER || !s->integral || s->text[0] == '-') return 0;
    errno = 0;
    unsigned long long v = strtoull(s->text, NULL, 10);
    if (errno == ERANGE || v > UINT32_MAX) return 0;
    *out = v;
    return 1;
}

/* A JSON number as the loader makes it a float parameter: the nearest
 * double, then the nearest float. 0 when it lies beyond a double's range,
 * which the loader refuses. */
static int read_float(const js_scanner* s, float* out) {
    errno = 0;
    double d = strtod(s->text, NULL);
    if (errno == ERANGE && isinf(d)) return 0;
    *out = (float)d;
    return 1;
}

static void copy_text(char* dst, size_t cap, const char* src) {
    size_t n = strlen(src);
    if (n >= cap) {
        memcpy(dst, src, cap - 4);
        strcpy(dst + cap - 4, "...");
    } else {
        memcpy(dst, src, n + 1);
    }
}

/* Checks one number inside "weight" or "bias". */
static void array_number(walker* w, lint_array* a, const char* suffix) {
    float f;
    if (read_float(&w->s, &f)) {
        lint_array_value(a, w->s.loc, suffix, f, w->s.text);
    } else {
        char path[96], text[40];
        snprintf(path, sizeof path, "%s%s", a->path, suffix);
        copy_text(text, sizeof text, w->s.text);
        lint_add(w->r, w->s.loc, a->tag, path, "%s is beyond the range of a double; the loader refuses it",
                 text);
    }
}

/* ---------------------------------------------------------------------------
 * Pass 1: the syntax, and "input_size". */

static int first_pass(walker* w) {
    js_scanner* s = &w->s;
    if (s->kind == JS_END) {
        lint_add(w->r, s->loc, 0, "", "the file is empty: a model file is one JSON object");
        return -1;
    }
    int complete; /* the top-level value is complete */
    if (s->kind == JS_LBRACE) {
        int first = 1, k;
        while ((k = js_object_key(s, &first)) > 0) {
            if (strcmp(s->key, "input_size") == 0 && !w->input_known)
                w->input_known = read_u32(s, &w->input_size);
            if (js_skip_value(s) < 0) break;
        }
        complete = k == 0;
    } else {
        complete = js_skip_value(s) == 0;
    }
    /* Whatever follows a complete value is out of place, even a token that
     * would be a fault of its own. */
    if (complete && s->kind != JS_END) {
        s->kind = JS_END;
        js_fail(s, "more than whitespace after the top-level value");
    }
    if (s->kind == JS_ERROR) {
        syntax_finding(w);
        return -1;
    }
    return 0;
}

/* ---------------------------------------------------------------------------
 * Pass 2: one layer. */

static int remember_key(walker* w, layer_rec* L, const char* path) {
    for (size_t i = 0; i < L->nkeys; ++i) {
        if (strcmp(L->keys[i].name, w->s.key) == 0) {
            char name[64];
            lint_json_printable(w->s.key, name, sizeof name);
            lint_add(w->r, w->s.key_loc, 0, path,
                     "duplicate key \"%s\" (first at %lu:%lu); the loader refuses it", name,
                     L->keys[i].loc.line, L->keys[i].loc.col);
            return 1;
        }
    }
    if (L->nkeys == L->capkeys) {
        size_t cap = L->capkeys == 0 ? 8 : L->capkeys * 2;
        seen_key* k = realloc(L->keys, cap * sizeof *k);
        if (k == NULL) {
            w->r->out_of_memory = 1;
            return 0;
        }
        L->keys = k;
        L->capkeys = cap;
    }
    copy_text(L->keys[L->nkeys].name, sizeof L->keys[0].name, w->s.key);
    L->keys[L->nkeys].loc = w->s.key_loc;
    ++L->nkeys;
    return 1;
}

static int read_scalar(walker* w, scalar* v) {
    v->present = 1;
    v->loc = w->s.loc;
    if (w->s.kind == JS_NUMBER) {
        v->is_number = 1;
        v->beyond_double = !read_float(&w->s, &v->f);
        copy_text(v->text, sizeof v->text, w->s.text);
    }
    return js_skip_value(&w->s);
}

static int walk_weight(walker* w, layer_rec* L) {
    js_scanner* s = &w->s;
    L->has_weight = 1;
    L->weight_loc = s->loc;
    if (s->kind != JS_LBRACKET) return js_skip_value(s);
    L->weight_is_array = 1;
    lint_array a = {w->r, TAG_WEIGHT, "", s->loc, 0, 0, {0, 0, 0}};
    snprintf(a.path, sizeof a.path, "layers[%u].weight", L->index);
    char suffix[48];
    int first = 1, k;
    size_t n = 0;
    while ((k = js_array_item(s, &first)) > 0) {
        if (s->kind == JS_NUMBER) {
            ++L->w_numbers;
            snprintf(suffix, sizeof suffix, "[%zu]", n);
            array_number(w, &a, suffix);
            js_next(s);
        } else if (s->kind == JS_LBRACKET) {
            ++L->w_rows;
            lint_loc row_loc = s->loc;
            size_t len = 0;
            int only_numbers = 1, first_in_row = 1;
            while ((k = js_array_item(s, &first_in_row)) > 0) {
                if (s->kind == JS_NUMBER) {
                    snprintf(suffix, sizeof suffix, "[%zu][%zu]", n, len);
                    array_number(w, &a, suffix);
                    js_next(s);
                } else {
                    only_numbers = 0;
                    if (js_skip_value(s) < 0) return -1;
                }
                ++len;
            }
            if (k < 0) return -1;
            if (!only_numbers && !L->odd_row) {
                L->odd_row = 1;
                L->odd_row_index = n;
                L->odd_row_loc = row_loc;
            }
            if (w->prev_known && len != w->prev && !L->bad_row) {
                L->bad_row = 1;
                L->bad_row_index = n;
                L->bad_row_len = len;
                L->bad_row_loc = row_loc;
            }
        } else {
            ++L->w_other;
            if (js_skip_value(s) < 0) return -1;
        }
        ++n;
    }
    lint_array_end(&a);
    return k;
}

static int walk_bias(walker* w, layer_rec* L) {
    js_scanner* s = &w->s;
    L->has_bias = 1;
    L->bias_loc = s->loc;
    if (s->kind != JS_LBRACKET) return js_skip_value(s);
    L->bias_is_array = 1;
    lint_array a = {w->r, TAG_BIAS, "", s->loc, 0, 0, {0, 0, 0}};
    snprintf(a.path, sizeof a.path, "layers[%u].bias", L->index);
    char suffix[32];
    int first = 1, k;
    while ((k = js_array_item(s, &first)) > 0) {
        if (s->kind == JS_NUMBER) {
            snprintf(suffix, sizeof suffix, "[%zu]", L->b_numbers + L->b_other);
            array_number(w, &a, suffix);
            ++L->b_numbers;
            js_next(s);
        } else {
            ++L->b_other;
            if (js_skip_value(s) < 0) return -1;
        }
    }
    lint_array_end(&a);
    return k;
}

static int walk_layer(walker* w, uint32_t index) {
    js_scanner* s = &w->s;
    layer_rec L;
    memset(&L, 0, sizeof L);
    L.index = index;
    L.start = s->loc;
    size_t mark = w->r->len;
    char path[96], name[64];
    int first = 1, k;
    while ((k = js_object_key(s, &first)) > 0) {
        lint_json_printable(s->key, name, sizeof name);
        snprintf(path, sizeof path, "layers[%u].%s", index, name);
        if (!remember_key(w, &L, path)) {
            k = -1;
            break;
        }
        int rc;
        if (strcmp(s->key, "type") == 0) {
            L.has_type = 1;
            L.type_loc = s->loc;
            L.type_is_string = s->kind == JS_STRING;
            if (L.type_is_string) copy_text(L.type_text, sizeof L.type_text, s->text);
            rc = js_skip_value(s);
        } else if (strcmp(s->key, "size") == 0) {
            L.has_size = 1;
            L.size_loc = s->loc;
            L.size_ok = read_u32(s, &L.size);
            rc = js_skip_value(s);
        } else if (strcmp(s->key, "weight") == 0) {
            rc = walk_weight(w, &L);
        } else if (strcmp(s->key, "bias") == 0) {
            rc = walk_bias(w, &L);
        } else if (strcmp(s->key, "eps") == 0) {
            rc = read_scalar(w, &L.eps);
        } else if (strcmp(s->key, "min") == 0) {
            rc = read_scalar(w, &L.min);
        } else if (strcmp(s->key, "max") == 0) {
            rc = read_scalar(w, &L.max);
        } else if (strcmp(s->key, "alpha") == 0) {
            rc = read_scalar(w, &L.alpha);
        } else if (strcmp(s->key, "negative_slope") == 0) {
            rc = read_scalar(w, &L.negative_slope);
        } else {
            rc = js_skip_value(s);
        }
        if (rc < 0) {
            k = -1;
            break;
        }
    }
    if (k == 0) lint_json_judge_layer(w, &L, mark);
    free(L.keys);
    return k;
}

/* ---------------------------------------------------------------------------
 * Pass 2: the model object. */

static int walk_layers(walker* w) {
    js_scanner* s = &w->s;
    int first = 1, k;
    uint32_t i = 0;
    while ((k = js_array_item(s, &first)) > 0) {
        if (s->kind == JS_LBRACE) {
            if (walk_layer(w, i) < 0) return -1;
        } else {
            char path[32];
            snprintf(path, sizeof path, "layers[%u]", i);
            lint_add(w->r, s->loc, 0, path, "must be a layer object; the loader refuses it");
            w->prev_known = 0;
            if (js_skip_value(s) < 0) return -1;
        }
        ++i;
    }
    return k;
}

static void walk_model(walker* w) {
    js_scanner* s = &w->s;
    if (s->kind != JS_LBRACE) {
        lint_add(w->r, s->loc, 0, "",
                 "the top level is not an object; a model file is one object with "
                 "\"input_size\" and \"layers\"");
        return;
    }
    lint_loc top = s->loc, input_loc = {0, 0, 0}, layers_loc = {0, 0, 0};
    static const char* const kTopKeys[] = {"input_size", "layers"};
    w->prev_known = w->input_known;
    w->prev = w->input_size;
    char name[64];
    int first = 1, k;
    while ((k = js_object_key(s, &first)) > 0) {
        lint_json_printable(s->key, name, sizeof name);
        int is_input = strcmp(s->key, "input_size") == 0, is_layers = strcmp(s->key, "layers") == 0;
        lint_loc* seen = is_input ? &input_loc : is_layers ? &layers_loc : NULL;
        if (seen != NULL && seen->line != 0)
            lint_add(w->r, s->key_loc, 0, name, "duplicate key (first at %lu:%lu); the loader refuses it",
                     seen->line, seen->col);
        else if (seen != NULL)
            *seen = s->key_loc;
        int rc;
        if (is_input) {
            uint64_t v;
            if (!read_u32(s, &v))
                lint_add(w->r, s->loc, 0, "input_size",
                         "must be an integer from 0 to 4294967295; the loader "
                         "refuses the file");
            rc = js_skip_value(s);
        } else if (is_layers && s->kind == JS_LBRACKET) {
            rc = walk_layers(w);
        } else if (is_layers) {
            lint_add(w->r, s->loc, 0, "layers",
                     "must be an array of layer objects; the loader refuses the file");
            rc = js_skip_value(s);
        } else {
            const char* meant = lint_closest(s->key, kTopKeys, 2);
            if (meant != NULL)
                lint_add(w->r, s->key_loc, 0, name,
                         "unknown key \"%s\", ignored by the loader; did you mean \"%s\"?", name, meant);
            else
                lint_add(w->r, s->key_loc, 0, name, "unknown key \"%s\", ignored by the loader", name);
            rc = js_skip_value(s);
        }
        if (rc < 0) return;
    }
    if (k < 0) return;
    if (input_loc.line == 0) lint_add(w->r, top, 0, "", "no \"input_size\"; the loader refuses the file");
    if (layers_loc.line == 0) lint_add(w->r, top, 0, "", "no \"layers\"; the loader refuses the file");
}

int lint_json(const char* path, lint_report* r) {
    walker w;
    memset(&w, 0, sizeof w);
    w.r = r;
    if (js_open(&w.s, path) < 0) return -1;
    if (first_pass(&w) == 0) {
        js_rewind(&w.s);
        walk_model(&w);
    }
    int read_failed = ferror(w.s.f) != 0;
    js_close(&w.s);
    return read_failed ? -1 : 0;
}
