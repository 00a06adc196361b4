/* tolvex run MODEL [X1 X2 ...] */
#include <errno.h>
#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex run MODEL [X1 X2 ...]\n"
    "\n"
    "Runs MODEL on the input vector X1 X2 ... given as arguments, or, without\n"
    "values, on each line of standard input (numbers separated by blanks or\n"
    "commas; empty lines and lines starting with '#' are skipped). Prints one\n"
    "line of outputs per input vector, each value with 9 significant digits,\n"
    "enough to read back the same 32-bit float. A '--' before the values ends\n"
    "the options and is not itself a value.\n";

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

static void print_output(const tolvex_model* net) {
    const float* y = tolvex_get_output_buffer(net);
    uint32_t n = tolvex_get_output_len(net);
    for (uint32_t i = 0; i < n; ++i) printf(i == 0 ? "%.9g" : " %.9g", (double)y[i]);
    putchar('\n');
}

static int run_arguments(tolvex_model* net, uint32_t input_size, int count, char** values, float* x) {
    if ((uint32_t)count != input_size) {
        cli_error("run: the model takes %u values, %d given", input_size, count);
        return CLI_USAGE;
    }
    for (int i = 0; i < count; ++i) {
        value_status st = parse_float(values[i], &x[i]);
        if (st != VALUE_OK) {
            report_value("run: ", values[i], st);
            return CLI_USAGE;
        }
    }
    tolvex_forward_pass(net, x, input_size);
    print_output(net);
    return CLI_OK;
}

static int run_lines(tolvex_model* net, uint32_t input_size, float* x) {
    char* line = NULL;
    size_t cap = 0;
    unsigned long lineno = 0;
    int rc = CLI_OK;
    while (rc == CLI_OK && getline(&line, &cap, stdin) >= 0) {
        ++lineno;
        uint32_t n = 0;
        int bad = 0;
        const char* sep = " \t\r\n,";
        char* save = NULL;
        char* tok = strtok_r(line, sep, &save);
        if (tok == NULL || tok[0] == '#') continue;
        for (; tok != NULL; tok = strtok_r(NULL, sep, &save)) {
            float v;
            value_status st = parse_float(tok, &v);
            if (st != VALUE_OK) {
                char prefix[48];
                snprintf(prefix, sizeof prefix, "run: line %lu: ", lineno);
                report_value(prefix, tok, st);
                bad = 1;
                break;
            }
            if (n < input_size) x[n] = v;
            ++n;
        }
        if (!bad && n != input_size) {
            cli_error("run: line %lu: the model takes %u values, %u given", lineno, input_size, n);
            bad = 1;
        }
        if (bad) {
            rc = CLI_FAIL;
            break;
        }
        tolvex_forward_pass(net, x, input_size);
        print_output(net);
    }
    if (rc == CLI_OK && ferror(stdin)) {
        cli_error("run: error reading standard input");
        rc = CLI_FAIL;
    }
    free(line);
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
    cli_summary s;
    rc = cli_summarize(net, &s);
    float* x = NULL;
    if (rc == CLI_OK) {
        x = malloc(((size_t)s.input_size + 1) * sizeof *x);
        if (x == NULL) {
            cli_error("run: out of memory for an input of %u floats", s.input_size);
            rc = CLI_FAIL;
        }
    }
    if (rc == CLI_OK)
        rc = argc > 2 ? run_arguments(net, s.input_size, argc - 2, argv + 2, x) : run_lines(net, s.input_size, x);
    if (fflush(stdout) != 0 && rc == CLI_OK) {
        cli_error("run: cannot write the outputs");
        rc = CLI_FAIL;
    }
    free(x);
    tolvex_free_model(net);
    return rc;
}
