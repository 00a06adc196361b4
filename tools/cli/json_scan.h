/* A JSON tokenizer that knows where each token starts, for tolvex lint.
 *
 * It reads the file through stdio one token at a time and keeps no tree, so
 * a large model costs no more memory than its longest string or number. It
 * follows RFC 8259 as the library's loader does (no comments, no bare inf or
 * nan, no leading '+' or zero, UTF-8 only), so that where the loader answers
 * SyntaxError or UnexpectedEndOfInput, the scanner can say where. */
#ifndef TOLVEX_CLI_JSON_SCAN_H
#define TOLVEX_CLI_JSON_SCAN_H

#include <stdio.h>

#include "lint.h"

typedef enum {
    JS_LBRACE,
    JS_RBRACE,
    JS_LBRACKET,
    JS_RBRACKET,
    JS_COLON,
    JS_COMMA,
    JS_STRING,
    JS_NUMBER,
    JS_LITERAL, /* true, false, null */
    JS_END,     /* the end of the file */
    JS_ERROR    /* see error; the scanner stays here */
} js_kind;

typedef struct {
    FILE* f;
    int c;        /* the next byte, or EOF */
    lint_loc pos; /* where c is */
    js_kind kind; /* the current token */
    lint_loc loc; /* where it starts (for JS_ERROR: where the fault is) */
    char* text;   /* a string's decoded bytes or a number's text, NUL-terminated */
    size_t len, cap;
    int integral;  /* a number without fraction or exponent */
    char key[256]; /* the last object key (js_object_key), cut at 255 bytes */
    lint_loc key_loc;
    char* stack; /* open containers of js_skip_value */
    size_t depth, stack_cap;
    int ended_early; /* the error is that the file ends too soon */
    char error[200];
} js_scanner;

/* Opens the file and reads the first token. -1 when it cannot be opened. */
int js_open(js_scanner* s, const char* path);
/* Starts again from the first byte. */
void js_rewind(js_scanner* s);
void js_close(js_scanner* s);

/* Moves to the next token. */
void js_next(js_scanner* s);
/* Marks the current token as an error with a message. */
void js_fail(js_scanner* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/* Object and array traversal. At '{' (or '['), call with *first = 1; each
 * call returns 1 with the scanner at the next member's value (for an object,
 * its key in s->key and s->key_loc), 0 after the closing bracket (the
 * scanner then at the token that follows), -1 on a syntax error. The caller
 * consumes each value, with js_skip_value or by walking it. */
int js_object_key(js_scanner* s, int* first);
int js_array_item(js_scanner* s, int* first);

/* Consumes the value that starts at the current token, whatever its depth.
 * 0, or -1 on a syntax error. */
int js_skip_value(js_scanner* s);

#endif
