/* The findings of tolvex lint: stored as they are found, printed in file
 * order. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lint.h"

static char* copy_text(const char* s) {
    size_t n = strlen(s) + 1;
    char* c = malloc(n);
    if (c != NULL) memcpy(c, s, n);
    return c;
}

void lint_add(lint_report* r, lint_loc loc, int tag, const char* path, const char* fmt, ...) {
    if (r->len == r->cap) {
        size_t cap = r->cap == 0 ? 16 : r->cap * 2;
        lint_finding* items = realloc(r->items, cap * sizeof *items);
        if (items == NULL) {
            r->out_of_memory = 1;
            return;
        }
        r->items = items;
        r->cap = cap;
    }
    char message[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    lint_finding* f = &r->items[r->len];
    f->loc = loc;
    f->tag = tag;
    f->order = r->len;
    f->path = copy_text(path);
    f->message = copy_text(message);
    if (f->path == NULL || f->message == NULL) {
        free(f->path);
        free(f->message);
        r->out_of_memory = 1;
        return;
    }
    ++r->len;
}

void lint_drop_tagged(lint_report* r, size_t from, int tag) {
    size_t kept = from;
    for (size_t i = from; i < r->len; ++i) {
        if (r->items[i].tag == tag) {
            free(r->items[i].path);
            free(r->items[i].message);
        } else {
            r->items[kept++] = r->items[i];
        }
    }
    r->len = kept;
}

static int by_location(const void* a, const void* b) {
    const lint_finding *x = a, *y = b;
    if (x->loc.offset != y->loc.offset) return x->loc.offset < y->loc.offset ? -1 : 1;
    return x->order < y->order ? -1 : x->order > y->order;
}

void lint_print(const lint_report* r, const char* file) {
    if (r->len > 1) qsort(r->items, r->len, sizeof *r->items, by_location);
    for (size_t i = 0; i < r->len; ++i) {
        const lint_finding* f = &r->items[i];
        if (f->loc.line != 0)
            printf("%s:%lu:%lu: ", file, f->loc.line, f->loc.col);
        else
            printf("%s: byte %llu: ", file, (unsigned long long)f->loc.offset);
        if (f->path[0] != '\0') printf("%s: ", f->path);
        printf("%s\n", f->message);
    }
}

void lint_free(lint_report* r) {
    for (size_t i = 0; i < r->len; ++i) {
        free(r->items[i].path);
        free(r->items[i].message);
    }
    free(r->items);
    r->items = NULL;
    r->len = r->cap = 0;
}
