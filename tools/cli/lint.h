/* tolvex lint: findings with locations, and the checks shared by the JSON
 * and the tvxf walkers. The walkers read the file themselves (the library
 * tells only whether a file loads, not where it is odd), so that a finding
 * can name its line and column, or its byte offset, and its JSON path. */
#ifndef TOLVEX_CLI_LINT_H
#define TOLVEX_CLI_LINT_H

#include <stddef.h>
#include <stdint.h>

/* A place in the file: line and column (both from 1; the column counts
 * characters, not bytes) in a JSON file, line 0 in a tvxf file, which has
 * only the byte offset. */
typedef struct {
    uint64_t offset;
    unsigned long line, col;
} lint_loc;

typedef struct {
    lint_loc loc;
    char* path; /* "layers[3].alpha", "input_size", or "" for the file */
    char* message;
    int tag;      /* the walker's mark, see lint_drop_tagged */
    size_t order; /* insertion order, to keep equal locations stable */
} lint_finding;

typedef struct {
    lint_finding* items;
    size_t len, cap;
    int out_of_memory; /* a finding could not be stored */
} lint_report;

/* Adds a finding; its path and message are copied. */
void lint_add(lint_report* r, lint_loc loc, int tag, const char* path, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
/* Removes the findings from index `from` on whose tag is `tag`. */
void lint_drop_tagged(lint_report* r, size_t from, int tag);
/* Prints the findings in file order as "FILE:LINE:COL: PATH: MESSAGE" (JSON)
 * or "FILE: byte OFFSET: PATH: MESSAGE" (tvxf), one per line. */
void lint_print(const lint_report* r, const char* file);
void lint_free(lint_report* r);

/* ---------------------------------------------------------------------------
 * Layer types and their keys. */

enum {
    LINT_TYPE_COUNT = 9,
    LINT_LINEAR = 0,
    LINT_LAYER_NORM = 1,
    LINT_CLIP = 2,
    LINT_ELU = 3,
    LINT_LEAKY_RELU = 8
};

/* The canonical name of type code t (0 to 8). */
const char* lint_type_name(int t);
/* The type code of a canonical name, or -1. */
int lint_type_of(const char* name);
/* The type a name that is not canonical most likely means ("Linear",
 * "LeakyReLU", "layer-norm", "Hardtanh"), or -1. */
int lint_type_suggestion(const char* name);

/* Whether a layer of type t reads the parameter key (not "type" or
 * "size"). */
int lint_type_reads(int t, const char* key);
/* The first type that reads the parameter key, or -1. */
int lint_key_owner(const char* key);
/* The parameter key of type t that an unread key most likely means
 * ("alhpa" -> "alpha", "epsilon" -> "eps"), or NULL. */
const char* lint_key_suggestion(int t, const char* key);
/* The key among `count` candidates that `key` most likely means, or NULL. */
const char* lint_closest(const char* key, const char* const* candidates, size_t count);

/* ---------------------------------------------------------------------------
 * The semantic checks: what a loaded model holds, whatever its format. Both
 * walkers call them with the same paths, so a JSON file and its tvxf twin give
 * the same findings by layer index, only at different locations. */

/* At most this many values of one array are reported one by one; the rest
 * are counted into one more finding. */
enum { LINT_VALUES_PER_ARRAY = 3 };

typedef struct {
    lint_report* report;
    int tag;
    char path[64]; /* of the array, "layers[0].weight" */
    lint_loc loc;  /* of the array */
    size_t reported, more;
    lint_loc more_loc; /* of the first value beyond the quota */
} lint_array;

/* A non-finite or subnormal float parameter at `path`. `written` is the
 * number's text in a JSON file (NULL for tvxf); it adds what the text said
 * when the float differs from it in kind (1e39 loads as inf). */
void lint_check_value(lint_report* r, lint_loc loc, int tag, const char* path, float v, const char* written);
/* The same for element `path_suffix` ("[1][2]") of an array, within the
 * array's quota. lint_array_end adds the count of those beyond it. */
void lint_array_value(lint_array* a, lint_loc loc, const char* path_suffix, float v, const char* written);
void lint_array_end(lint_array* a);

/* What the layer-level checks need to know of one layer. */
typedef struct {
    uint32_t index;
    int type;
    int input_known;     /* whether input_size is trustworthy */
    uint64_t input_size; /* the length the layer reads */
    int has_size;        /* the file gives the layer a size */
    uint64_t size;
    lint_loc size_loc;
    int has_clip; /* clip: both bounds are known */
    float min, max;
    lint_loc min_loc, max_loc;
    int has_eps; /* layer_norm: eps is known */
    float eps;
    lint_loc eps_loc;
} lint_layer;

/* A later non-linear layer whose size field differs from its input (the
 * loader uses the input's length), clip bounds in the wrong order, an eps
 * that is not positive. */
void lint_check_layer(lint_report* r, const lint_layer* layer);

/* The walkers. Each returns 0 when it could read the file (findings or not)
 * and -1 when it could not open or read it at all. */
int lint_json(const char* path, lint_report* r);
int lint_tvxf(const char* path, lint_report* r);

#endif
