/* The summary of a model: its sizes from the library, its layer and
 * parameter counts from the file it was loaded from, walked record by record
 * (tvxf) or token by token (JSON, with the scanner of tolvex lint). Nothing
 * is written anywhere. */
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "cli.h"
#include "json_scan.h"

/* The bytes of a layer record of the binary encoding: type code and size,
 * then the payload, whose float arrays are each preceded by their count. */
static uint64_t record_bytes(uint32_t type, uint64_t weights, uint64_t biases) {
    switch (type) {
        case TYPE_LINEAR: return 8 + 8 + 4 * (weights + biases);
        case TYPE_LAYER_NORM: return 8 + 12 + 4 * (weights + biases);
        case TYPE_CLIP: return 8 + 8;
        case TYPE_ELU:
        case TYPE_LEAKY_RELU: return 8 + 4;
        default: return 8; /* relu, relu6, sigmoid, tanh carry no parameters */
    }
}

static void add_layer(cli_summary* s, uint32_t type, uint64_t weights, uint64_t biases) {
    ++s->layer_count;
    if (type == TYPE_LINEAR || type == TYPE_LAYER_NORM) {
        s->weights += weights;
        s->biases += biases;
    }
    s->encoded_bytes += record_bytes(type, weights, biases);
}

/* ---------------------------------------------------------------------------
 * tvxf: "tvxf", input size, layer count, then the records. The loader reads
 * nothing after the last record, and neither does this walk. */

static int read_u32(FILE* f, uint32_t* v) { return fread(v, 4, 1, f) == 1; }

/* Reads one array count and steps over its values. */
static int skip_array(FILE* f, uint64_t* n) {
    uint32_t count;
    if (!read_u32(f, &count) || fseeko(f, (off_t)count * 4, SEEK_CUR) != 0) return 0;
    *n = count;
    return 1;
}

static int walk_tvxf(FILE* f, uint32_t* input_size, cli_summary* s) {
    char magic[4];
    uint32_t count;
    if (fread(magic, 4, 1, f) != 1 || memcmp(magic, "tvxf", 4) != 0) return 0;
    if (!read_u32(f, input_size) || !read_u32(f, &count)) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t type, size;
        uint64_t weights = 0, biases = 0;
        if (!read_u32(f, &type) || !read_u32(f, &size)) return 0;
        int ok = 1;
        switch (type) {
            case TYPE_LINEAR: ok = skip_array(f, &weights) && skip_array(f, &biases); break;
            case TYPE_LAYER_NORM:
                ok = fseeko(f, 4, SEEK_CUR) == 0 && skip_array(f, &weights) && skip_array(f, &biases);
                break;
            case TYPE_CLIP: ok = fseeko(f, 8, SEEK_CUR) == 0; break;
            case TYPE_ELU:
            case TYPE_LEAKY_RELU: ok = fseeko(f, 4, SEEK_CUR) == 0; break;
            default: break;
        }
        if (!ok) return 0;
        add_layer(s, type, weights, biases);
    }
    /* A seek past the end succeeds; the last read must have been whole. */
    off_t end = ftello(f);
    if (end < 0 || fseeko(f, 0, SEEK_END) != 0 || ftello(f) < end) return 0;
    return 1;
}

/* ---------------------------------------------------------------------------
 * JSON: the model object's "input_size" and "layers", and in each layer its
 * "type" and the numbers of "weight" and "bias" (a layer's keys come in any
 * order, so its type decides at its closing brace what counts). The file
 * has just loaded, so its shapes are the loader's: a linear layer's weight
 * rows are arrays of numbers, everything else a flat one. */

/* The numbers of a "weight" or "bias" value: those of an array and of the
 * arrays directly in it. Anything deeper is skipped: a key that the layer's
 * type does not read is not checked by the loader. 0, or -1 on a fault. */
static int count_numbers(js_scanner* s, uint64_t* n) {
    if (s->kind != JS_LBRACKET) return js_skip_value(s);
    int first = 1, k;
    while ((k = js_array_item(s, &first)) > 0) {
        if (s->kind == JS_NUMBER) {
            ++*n;
            js_next(s);
        } else if (s->kind == JS_LBRACKET) {
            int inner = 1, j;
            while ((j = js_array_item(s, &inner)) > 0) {
                if (s->kind == JS_NUMBER) {
                    ++*n;
                    js_next(s);
                } else if (js_skip_value(s) < 0) {
                    return -1;
                }
            }
            if (j < 0) return -1;
        } else if (js_skip_value(s) < 0) {
            return -1;
        }
    }
    return k;
}

static int json_layer(js_scanner* s, cli_summary* out) {
    if (s->kind != JS_LBRACE) return -1;
    int type = -1, first = 1, k;
    uint64_t weights = 0, biases = 0;
    while ((k = js_object_key(s, &first)) > 0) {
        int r;
        if (strcmp(s->key, "type") == 0 && s->kind == JS_STRING) {
            type = lint_type_of(s->text);
            js_next(s);
            r = 0;
        } else if (strcmp(s->key, "weight") == 0) {
            r = count_numbers(s, &weights);
        } else if (strcmp(s->key, "bias") == 0) {
            r = count_numbers(s, &biases);
        } else {
            r = js_skip_value(s);
        }
        if (r < 0) return -1;
    }
    if (k < 0 || type < 0) return -1;
    add_layer(out, (uint32_t)type, weights, biases);
    return 0;
}

static int walk_json(js_scanner* s, uint32_t* input_size, cli_summary* out) {
    if (s->kind != JS_LBRACE) return 0;
    int first = 1, k, have_input = 0;
    while ((k = js_object_key(s, &first)) > 0) {
        int r = 0;
        if (strcmp(s->key, "input_size") == 0 && s->kind == JS_NUMBER) {
            errno = 0;
            unsigned long long v = strtoull(s->text, NULL, 10);
            have_input = errno == 0 && v <= UINT32_MAX;
            *input_size = (uint32_t)v;
            js_next(s);
        } else if (strcmp(s->key, "layers") == 0 && s->kind == JS_LBRACKET) {
            int item = 1, j;
            while ((j = js_array_item(s, &item)) > 0)
                if (json_layer(s, out) < 0) return 0;
            r = j;
        } else {
            r = js_skip_value(s);
        }
        if (r < 0) return 0;
    }
    return k == 0 && have_input;
}

int cli_summarize(const tolvex_model* net, const char* path, cli_summary* out) {
    memset(out, 0, sizeof *out);
    out->input_size = tolvex_get_input_len(net);
    out->output_size = tolvex_get_output_len(net);
    out->encoded_bytes = 12;
    uint32_t file_input = 0;
    int ok = 0;
    if (cli_sniff_format(path) == CLI_FORMAT_TVXF) {
        FILE* f = fopen(path, "rb");
        if (f != NULL) {
            ok = walk_tvxf(f, &file_input, out);
            fclose(f);
        }
    } else {
        js_scanner s;
        if (js_open(&s, path) == 0) {
            ok = walk_json(&s, &file_input, out);
            js_close(&s);
        }
    }
    /* The counts are the file's: it must still be the model just loaded. */
    if (!ok || file_input != out->input_size) {
        cli_error("%s no longer reads as the model loaded from it", path);
        return CLI_FAIL;
    }
    return CLI_OK;
}
