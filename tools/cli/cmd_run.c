/* tolvex run MODEL [X1 X2 ...] */
#include <errno.h>
#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex run MODEL [X1 X2 ...]\n"
    "\n"
    "Runs MODEL on the input vector X1 X2 ... given as arguments, or, without\n"
    "values, on each line of standard input (numbers separated by blanks or\n"
    "commas; empty lines and lines starting with '#' are skipped). Prints one\n"
    "line of outputs per input vector, each value with 9 significant digits,\n"
    "enough to read back the same 32-bit float. A '--' before the values ends\n"
    "the options and is not itself a value.\n"
    "The lines that standard input holds at once run as one batch, with the\n"
    "same output bits as one pass each; their outputs are written before it\n"
    "waits for more, so a program at the other end of a pipe gets the answer\n"
    "to each line it has sent. A bad line stops the run after the lines\n"
    "before it have run.\n";

/* The most vectors in one batch, and the floats its arrays may take. */
enum { MAX_BATCH = 1024 };
#define MAX_BATCH_FLOATS ((size_t)1 << 22)

/* What parse_float made of a text. Values too small for a normal float are
 * kept, as the nearest subnormal or zero; "inf" and "nan" are taken as
 * written. */
typedef enum { VALUE_OK, VALUE_NOT_A_NUMBER, VALUE_OUT_OF_RANGE } value_status;

static value_status parse_float(const char* text, float* out) {
    char* end;
    errno = 0;
    float v = strtof(text, &end);
    if (end == text || *end != '\0') return VALUE_NOT_A_NUMBER;
    if (errno == ERANGE && isinf(v)) return VALUE_OUT_OF_RANGE;
    *out = v;
    return VALUE_OK;
}

/* The message for a value parse_float refused, after `prefix`. */
static void report_value(const char* prefix, const char* text, value_status st) {
    if (st == VALUE_OUT_OF_RANGE)
        cli_error("%s'%s' is beyond the range of a 32-bit float (largest magnitude %.9g)", prefix, text,
                  (double)FLT_MAX);
    else
        cli_error("%s'%s' is not a float", prefix, text);
}

static void print_values(const float* y, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) printf(i == 0 ? "%.9g" : " %.9g", (double)y[i]);
    putchar('\n');
}

static int run_arguments(tolvex_model* net, uint32_t input_size, int count, char** values) {
    if ((uint32_t)count != input_size) {
        cli_error("run: the model takes %u values, %d given", input_size, count);
        return CLI_USAGE;
    }
    float* x = malloc(((size_t)input_size + 1) * sizeof *x);
    if (x == NULL) {
        cli_error("run: out of memory for an input of %u floats", input_size);
        return CLI_FAIL;
    }
    int rc = CLI_OK;
    for (int i = 0; i < count && rc == CLI_OK; ++i) {
        value_status st = parse_float(values[i], &x[i]);
        if (st != VALUE_OK) {
            report_value("run: ", values[i], st);
            rc = CLI_USAGE;
        }
    }
    if (rc == CLI_OK) {
        tolvex_forward_pass(net, x, input_size);
        print_values(tolvex_get_output_buffer(net), tolvex_get_output_len(net));
    }
    free(x);
    return rc;
}

/* ---------------------------------------------------------------------------
 * Standard input: the bytes come in through read(), as many as are there;
 * every complete line among them joins the batch, and the batch runs when
 * the lines at hand are used up (or it is full), before the next read can
 * wait. */

typedef struct {
    tolvex_model* net;
    uint32_t in, out;
    size_t cap;   /* vectors per batch */
    size_t count; /* vectors waiting */
    float *x, *y; /* cap * in and cap * out floats */
    unsigned long lineno;
} batch;

static void run_batch(batch* b) {
    if (b->count == 0) return;
    tolvex_forward_batch(b->net, b->x, b->in, (uint32_t)b->count, b->y);
    for (size_t k = 0; k < b->count; ++k) print_values(b->y + k * b->out, b->out);
    b->count = 0;
}

/* Adds the vector of one line (NUL-terminated, without its newline) to the
 * batch, running the batch first when it is full. CLI_FAIL, reported, for a
 * bad line. */
static int take_line(batch* b, char* line) {
    ++b->lineno;
    const char* sep = " \t\r\n,";
    char* save = NULL;
    char* tok = strtok_r(line, sep, &save);
    if (tok == NULL || tok[0] == '#') return CLI_OK;
    if (b->count == b->cap) run_batch(b);
    float* x = b->x + b->count * b->in;
    uint32_t n = 0;
    for (; tok != NULL; tok = strtok_r(NULL, sep, &save)) {
        float v;
        value_status st = parse_float(tok, &v);
        if (st != VALUE_OK) {
            char prefix[48];
            snprintf(prefix, sizeof prefix, "run: line %lu: ", b->lineno);
            report_value(prefix, tok, st);
            return CLI_FAIL;
        }
        if (n < b->in) x[n] = v;
        ++n;
    }
    if (n != b->in) {
        cli_error("run: line %lu: the model takes %u values, %u given", b->lineno, b->in, n);
        return CLI_FAIL;
    }
    ++b->count;
    return CLI_OK;
}

static int run_lines(tolvex_model* net, uint32_t input_size) {
    batch b = {net, input_size, tolvex_get_output_len(net), 0, 0, NULL, NULL, 0};
    size_t widest = b.in > b.out ? b.in : b.out;
    b.cap = widest == 0 ? MAX_BATCH : MAX_BATCH_FLOATS / widest;
    if (b.cap > MAX_BATCH) b.cap = MAX_BATCH;
    if (b.cap == 0) b.cap = 1;
    b.x = malloc((b.cap * b.in + 1) * sizeof *b.x);
    b.y = malloc((b.cap * b.out + 1) * sizeof *b.y);
    char* buf = malloc(65536);
    size_t cap = 65536, len = 0; /* buf[0, len): bytes of lines not yet taken */
    int rc = CLI_OK;
    if (b.x == NULL || b.y == NULL || buf == NULL) {
        cli_error("run: out of memory for a batch of %u inputs and %u outputs", b.in, b.out);
        rc = CLI_FAIL;
    }
    int eof = 0;
    while (rc == CLI_OK && !eof) {
        /* The outputs of what has run reach the other end before a read
         * waits for more input. */
        if (fflush(stdout) != 0) break;
        if (len == cap) {
            char* grown = realloc(buf, cap * 2);
            if (grown == NULL) {
                cli_error("run: out of memory for a line of %zu bytes", len);
                rc = CLI_FAIL;
                break;
            }
            buf = grown;
            cap *= 2;
        }
        ssize_t got = read(STDIN_FILENO, buf + len, cap - len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            cli_error("run: error reading standard input: %s", strerror(errno));
            rc = CLI_FAIL;
            break;
        }
        if (got == 0) {
            eof = 1;
            if (len != 0) buf[len++] = '\n'; /* the last line, without its newline */
        }
        len += (size_t)got;
        /* Every complete line now at hand. */
        size_t start = 0;
        char* nl;
        while (rc == CLI_OK && (nl = memchr(buf + start, '\n', len - start)) != NULL) {
            *nl = '\0';
            rc = take_line(&b, buf + start);
            start = (size_t)(nl - buf) + 1;
        }
        memmove(buf, buf + start, len - start);
        len -= start;
        run_batch(&b); /* also the lines before a bad one */
    }
    free(buf);
    free(b.x);
    free(b.y);
    return rc;
}

int cmd_run(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    if (argc < 2) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    tolvex_model* net = NULL;
    int rc = cli_load(&net, argv[1]);
    if (rc != CLI_OK) return rc;
    uint32_t input_size = tolvex_get_input_len(net);
    rc = argc > 2 ? run_arguments(net, input_size, argc - 2, argv + 2) : run_lines(net, input_size);
    if (fflush(stdout) != 0 && rc == CLI_OK) {
        cli_error("run: cannot write the outputs");
        rc = CLI_FAIL;
    }
    tolvex_free_model(net);
    return rc;
}
