/* The JSON tokenizer of tolvex lint (see json_scan.h). */
#include "json_scan.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

/* The loader's limit on one string (decoded) or number text. */
#define MAX_VALUE_BYTES 4194304u

static void advance(js_scanner* s) {
    if (s->c == EOF) return;
    ++s->pos.offset;
    if (s->c == '\n') {
        ++s->pos.line;
        s->pos.col = 1;
    } else if ((s->c & 0xC0) != 0x80) {
        ++s->pos.col; /* a UTF-8 continuation byte is part of the character before */
    }
    s->c = getc(s->f);
}

void js_fail(js_scanner* s, const char* fmt, ...) {
    if (s->kind == JS_ERROR) return; /* the first fault is the one reported */
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->error, sizeof s->error, fmt, ap);
    va_end(ap);
    s->kind = JS_ERROR;
}

static void fail_at(js_scanner* s, lint_loc loc, const char* what) {
    if (s->kind == JS_ERROR) return;
    s->loc = loc;
    js_fail(s, "%s", what);
}

static void end_early(js_scanner* s, const char* what) {
    s->loc = s->pos;
    s->ended_early = 1;
    js_fail(s, "the file ends %s", what);
}

static int append(js_scanner* s, char c) {
    if (s->len + 1 >= s->cap) {
        size_t cap = s->cap == 0 ? 64 : s->cap * 2;
        char* t = realloc(s->text, cap);
        if (t == NULL) {
            fail_at(s, s->loc, "out of memory");
            return 0;
        }
        s->text = t;
        s->cap = cap;
    }
    s->text[s->len++] = c;
    s->text[s->len] = '\0';
    if (s->len > MAX_VALUE_BYTES) {
        fail_at(s, s->loc, "a string or number longer than 4194304 bytes, the loader's limit");
        return 0;
    }
    return 1;
}

static int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Four hex digits after "\u"; -1 after a fault. */
static long read_hex4(js_scanner* s, lint_loc esc) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        int h = hex_value(s->c);
        if (h < 0) {
            if (s->c == EOF) end_early(s, "inside a string");
            fail_at(s, esc, "\\u wants four hexadecimal digits");
            return -1;
        }
        v = v * 16 + h;
        advance(s);
    }
    return v;
}

static int append_utf8(js_scanner* s, long cp) {
    if (cp < 0x80) return append(s, (char)cp);
    if (cp < 0x800) return append(s, (char)(0xC0 | (cp >> 6))) && append(s, (char)(0x80 | (cp & 0x3F)));
    if (cp < 0x10000)
        return append(s, (char)(0xE0 | (cp >> 12))) && append(s, (char)(0x80 | ((cp >> 6) & 0x3F))) &&
               append(s, (char)(0x80 | (cp & 0x3F)));
    return append(s, (char)(0xF0 | (cp >> 18))) && append(s, (char)(0x80 | ((cp >> 12) & 0x3F))) &&
           append(s, (char)(0x80 | ((cp >> 6) & 0x3F))) && append(s, (char)(0x80 | (cp & 0x3F)));
}

static int read_escape(js_scanner* s) {
    lint_loc esc = s->pos;
    advance(s); /* the backslash */
    int c = s->c;
    const char* from = "\"\\/bfnrt";
    const char* to = "\"\\/\b\f\n\r\t";
    const char* hit = c == EOF ? NULL : strchr(from, c);
    if (c == 'u') {
        advance(s);
        long cp = read_hex4(s, esc);
        if (cp < 0) return 0;
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            fail_at(s, esc, "an escaped low surrogate without a high one before it");
            return 0;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (s->c != '\\') {
                fail_at(s, esc, "an escaped high surrogate without a low one after it");
                return 0;
            }
            advance(s);
            if (s->c != 'u') {
                fail_at(s, esc, "an escaped high surrogate without a low one after it");
                return 0;
            }
            advance(s);
            long lo = read_hex4(s, esc);
            if (lo < 0) return 0;
            if (lo < 0xDC00 || lo > 0xDFFF) {
                fail_at(s, esc, "an escaped high surrogate without a low one after it");
                return 0;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        return append_utf8(s, cp);
    }
    if (hit == NULL || c == '\0') {
        if (c == EOF) {
            end_early(s, "inside a string");
            return 0;
        }
        fail_at(s, esc, "an unknown escape (JSON has \\\" \\\\ \\/ \\b \\f \\n \\r \\t \\uXXXX)");
        return 0;
    }
    advance(s);
    return append(s, to[hit - from]);
}

/* One UTF-8 character of two to four bytes, checked: no overlong form, no
 * surrogate, nothing above U+10FFFF. */
static int read_utf8(js_scanner* s) {
    lint_loc at = s->pos;
    int lead = s->c;
    int n = lead >= 0xC2 && lead <= 0xDF   ? 1
            : lead >= 0xE0 && lead <= 0xEF ? 2
            : lead >= 0xF0 && lead <= 0xF4 ? 3
                                           : -1;
    if (n < 0) {
        fail_at(s, at, "a byte that starts no UTF-8 character");
        return 0;
    }
    long cp = lead & (0x3F >> n);
    if (!append(s, (char)lead)) return 0;
    advance(s);
    for (int i = 0; i < n; ++i) {
        if (s->c == EOF || (s->c & 0xC0) != 0x80) {
            fail_at(s, at, "an incomplete UTF-8 character");
            return 0;
        }
        cp = cp << 6 | (s->c & 0x3F);
        if (!append(s, (char)s->c)) return 0;
        advance(s);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        fail_at(s, at, "an invalid UTF-8 character (overlong, a surrogate, or beyond U+10FFFF)");
        return 0;
    }
    return 1;
}

static void read_string(js_scanner* s) {
    advance(s); /* the opening quote */
    for (;;) {
        int c = s->c;
        if (c == EOF) {
            end_early(s, "inside a string");
            return;
        }
        if (c == '"') break;
        if (c < 0x20) {
            fail_at(s, s->pos, "a control character inside a string (write it as an escape)");
            return;
        }
        if (c == '\\') {
            if (!read_escape(s)) return;
        } else if (c >= 0x80) {
            if (!read_utf8(s)) return;
        } else {
            if (!append(s, (char)c)) return;
            advance(s);
        }
    }
    advance(s); /* the closing quote */
    s->kind = JS_STRING;
}

static int is_digit(int c) { return c >= '0' && c <= '9'; }

static int take(js_scanner* s) {
    int ok = append(s, (char)s->c);
    advance(s);
    return ok;
}

/* A number cut short: by the end of the file, or by another character. */
static void number_fault(js_scanner* s, const char* what) {
    if (s->c == EOF)
        end_early(s, "inside a number");
    else
        fail_at(s, s->pos, what);
}

static void read_number(js_scanner* s) {
    s->integral = 1;
    if (s->c == '-' && !take(s)) return;
    if (!is_digit(s->c)) {
        if (s->c == 'i' || s->c == 'I' || s->c == 'n' || s->c == 'N') {
            fail_at(s, s->loc, "a bare -inf is not JSON: a non-finite value has no JSON form");
            return;
        }
        number_fault(s, "'-' without digits");
        return;
    }
    if (s->c == '0') {
        if (!take(s)) return;
        if (is_digit(s->c)) {
            fail_at(s, s->loc, "a number with a leading zero");
            return;
        }
    }
    while (is_digit(s->c))
        if (!take(s)) return;
    if (s->c == '.') {
        s->integral = 0;
        if (!take(s)) return;
        if (!is_digit(s->c)) {
            number_fault(s, "'.' without digits after it");
            return;
        }
        while (is_digit(s->c))
            if (!take(s)) return;
    }
    if (s->c == 'e' || s->c == 'E') {
        s->integral = 0;
        if (!take(s)) return;
        if ((s->c == '+' || s->c == '-') && !take(s)) return;
        if (!is_digit(s->c)) {
            number_fault(s, "an exponent without digits");
            return;
        }
        while (is_digit(s->c))
            if (!take(s)) return;
    }
    if (s->len == 2 && s->text[0] == '-' && s->text[1] == '0') s->integral = 0; /* -0 is a float */
    s->kind = JS_NUMBER;
}

static void read_word(js_scanner* s) {
    char word[16];
    size_t n = 0;
    while ((s->c >= 'a' && s->c <= 'z') || (s->c >= 'A' && s->c <= 'Z') || is_digit(s->c) || s->c == '_') {
        if (n + 1 < sizeof word) word[n++] = (char)s->c;
        advance(s);
    }
    word[n] = '\0';
    if (strcmp(word, "true") == 0 || strcmp(word, "false") == 0 || strcmp(word, "null") == 0) {
        s->kind = JS_LITERAL;
        return;
    }
    if (strcmp(word, "inf") == 0 || strcmp(word, "nan") == 0 || strcmp(word, "NaN") == 0 ||
        strcmp(word, "Infinity") == 0)
        fail_at(s, s->loc, "a bare inf or nan is not JSON: a non-finite value has no JSON form");
    else
        fail_at(s, s->loc, "unexpected word (JSON's words are true, false and null)");
}

void js_next(js_scanner* s) {
    if (s->kind == JS_ERROR) return;
    while (s->c == ' ' || s->c == '\t' || s->c == '\n' || s->c == '\r') advance(s);
    s->loc = s->pos;
    s->len = 0;
    if (s->text != NULL) s->text[0] = '\0';
    if (ferror(s->f)) {
        fail_at(s, s->pos, "the file cannot be read");
        return;
    }
    int c = s->c;
    switch (c) {
        case EOF: s->kind = JS_END; return;
        case '{': s->kind = JS_LBRACE; break;
        case '}': s->kind = JS_RBRACE; break;
        case '[': s->kind = JS_LBRACKET; break;
        case ']': s->kind = JS_RBRACKET; break;
        case ':': s->kind = JS_COLON; break;
        case ',': s->kind = JS_COMMA; break;
        case '"': read_string(s); return;
        case '+': fail_at(s, s->loc, "a number cannot start with '+'"); return;
        case '/': fail_at(s, s->loc, "comments are not JSON"); return;
        case '\'': fail_at(s, s->loc, "strings take double quotes"); return;
        default:
            if (c == '-' || is_digit(c)) {
                read_number(s);
            } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
                read_word(s);
            } else if (c >= 0x20 && c < 0x7F) {
                js_fail(s, "unexpected character '%c'", c);
            } else {
                js_fail(s, "unexpected byte 0x%02X", (unsigned)c);
            }
            return;
    }
    advance(s);
}

int js_open(js_scanner* s, const char* path) {
    memset(s, 0, sizeof *s);
    s->f = fopen(path, "rb");
    if (s->f == NULL) return -1;
    js_rewind(s);
    return 0;
}

void js_rewind(js_scanner* s) {
    rewind(s->f);
    s->pos = (lint_loc){0, 1, 1};
    s->c = getc(s->f);
    s->kind = JS_END;
    s->ended_early = 0;
    s->depth = 0;
    s->error[0] = '\0';
    js_next(s);
}

void js_close(js_scanner* s) {
    if (s->f != NULL) fclose(s->f);
    free(s->text);
    free(s->stack);
    memset(s, 0, sizeof *s);
}

/* ---------------------------------------------------------------------------
 * Structure. */

static int expect_value(js_scanner* s, const char* where) {
    switch (s->kind) {
        case JS_LBRACE:
        case JS_LBRACKET:
        case JS_STRING:
        case JS_NUMBER:
        case JS_LITERAL: return 1;
        case JS_END: end_early(s, where); return 0;
        case JS_ERROR: return 0;
        default: js_fail(s, "a value is missing here"); return 0;
    }
}

int js_object_key(js_scanner* s, int* first) {
    if (*first) {
        *first = 0;
        js_next(s); /* the '{' */
        if (s->kind == JS_RBRACE) {
            js_next(s);
            return 0;
        }
    } else if (s->kind == JS_COMMA) {
        js_next(s);
        if (s->kind == JS_RBRACE) {
            js_fail(s, "a ',' before '}' (JSON has no trailing commas)");
            return -1;
        }
    } else if (s->kind == JS_RBRACE) {
        js_next(s);
        return 0;
    } else {
        if (s->kind == JS_END) end_early(s, "inside an object");
        js_fail(s, "expected ',' or '}' after a member of an object");
        return -1;
    }
    if (s->kind != JS_STRING) {
        if (s->kind == JS_END) end_early(s, "inside an object");
        js_fail(s, "expected a key (a string in double quotes)");
        return -1;
    }
    size_t n = s->len < sizeof s->key ? s->len : sizeof s->key - 1;
    memcpy(s->key, s->text, n);
    s->key[n] = '\0';
    s->key_loc = s->loc;
    js_next(s);
    if (s->kind != JS_COLON) {
        if (s->kind == JS_END) end_early(s, "inside an object");
        js_fail(s, "expected ':' after the key");
        return -1;
    }
    js_next(s);
    return expect_value(s, "inside an object") ? 1 : -1;
}

int js_array_item(js_scanner* s, int* first) {
    if (*first) {
        *first = 0;
        js_next(s); /* the '[' */
        if (s->kind == JS_RBRACKET) {
            js_next(s);
            return 0;
        }
    } else if (s->kind == JS_COMMA) {
        js_next(s);
        if (s->kind == JS_RBRACKET) {
            js_fail(s, "a ',' before ']' (JSON has no trailing commas)");
            return -1;
        }
    } else if (s->kind == JS_RBRACKET) {
        js_next(s);
        return 0;
    } else {
        if (s->kind == JS_END) end_early(s, "inside an array");
        js_fail(s, "expected ',' or ']' after an element of an array");
        return -1;
    }
    return expect_value(s, "inside an array") ? 1 : -1;
}

static int push(js_scanner* s, char open, int* first) {
    if (s->depth == s->stack_cap) {
        size_t cap = s->stack_cap == 0 ? 32 : s->stack_cap * 2;
        char* t = realloc(s->stack, cap);
        if (t == NULL) {
            js_fail(s, "out of memory");
            return 0;
        }
        s->stack = t;
        s->stack_cap = cap;
    }
    s->stack[s->depth++] = open;
    *first = 1;
    return 1;
}

/* Iterative, with its own stack of open containers: nesting is bounded by
 * memory, as in the loader. */
int js_skip_value(js_scanner* s) {
    size_t base = s->depth;
    int first = 0;
    if (!expect_value(s, "where a value belongs")) return -1;
    for (;;) {
        /* At the start of a value. */
        if (s->kind == JS_LBRACE || s->kind == JS_LBRACKET) {
            if (!push(s, s->kind == JS_LBRACE ? '{' : '[', &first)) return -1;
        } else {
            js_next(s);
            first = 0;
        }
        /* After a value, or just inside a container (first set): the next
         * member, or the end of containers. */
        for (;;) {
            if (s->depth == base) return 0;
            char open = s->stack[s->depth - 1];
            int r = open == '{' ? js_object_key(s, &first) : js_array_item(s, &first);
            if (r < 0) return -1;
            if (r > 0) break;
            --s->depth;
            first = 0;
        }
    }
}
