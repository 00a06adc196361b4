/* Model file formats, error messages, arguments, and the summary walk. */
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#include "cli.h"

void cli_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("tolvex: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

int cli_options_end = 1 << 30;

int cli_wants_help(int argc, char** argv) {
    for (int i = 1; i < argc && i < cli_options_end; ++i)
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) return 1;
    return 0;
}

cli_format cli_format_of(const char* path) {
    const char* dot = strrchr(path, '.');
    if (dot == NULL || strchr(dot, '/') != NULL) return CLI_FORMAT_NONE;
    if (strcasecmp(dot, ".json") == 0) return CLI_FORMAT_JSON;
    if (strcasecmp(dot, ".tvxf") == 0) return CLI_FORMAT_TVXF;
    return CLI_FORMAT_NONE;
}

const char* cli_format_name(cli_format f) {
    return f == CLI_FORMAT_JSON ? "JSON" : f == CLI_FORMAT_TVXF ? "tvxf" : "unknown";
}

cli_format cli_sniff_format(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f != NULL) {
        char magic[4];
        int is_tvxf = fread(magic, 1, 4, f) == 4 && memcmp(magic, "tvxf", 4) == 0;
        fclose(f);
        if (is_tvxf) return CLI_FORMAT_TVXF;
    }
    return cli_format_of(path);
}

int cli_check_extension(const char* path) {
    if (cli_format_of(path) != CLI_FORMAT_NONE) return CLI_OK;
    cli_error("%s: unknown model file extension (use .json or .tvxf)", path);
    return CLI_USAGE;
}

int cli_load(tolvex_model** net, const char* path) {
    cli_format f = cli_sniff_format(path);
    if (f == CLI_FORMAT_NONE) {
        cli_error("%s: not a tvxf file, and unknown model file extension (use .json or .tvxf)", path);
        return CLI_USAGE;
    }
    tolvex_result r = f == CLI_FORMAT_JSON ? tolvex_load_json(net, path) : tolvex_load_tvxf(net, path);
    if (r != tolvex_Success) {
        *net = NULL; /* the handle of a failed load is never usable */
        cli_error("cannot load %s: %s", path, tolvex_result_name(r));
        return CLI_FAIL;
    }
    return CLI_OK;
}

int cli_write(const tolvex_model* net, const char* path) {
    if (cli_check_extension(path) != CLI_OK) return CLI_USAGE;
    cli_format f = cli_format_of(path);
    tolvex_result r = f == CLI_FORMAT_JSON ? tolvex_write_json(net, path) : tolvex_write_tvxf(net, path);
    if (r != tolvex_Success) {
        cli_error("cannot write %s: %s", path, tolvex_result_name(r));
        return CLI_FAIL;
    }
    return CLI_OK;
}

/* ---------------------------------------------------------------------------
 * The binary encoding is a run of 4-byte fields in the host's byte order:
 * "tvxf", input size, layer count, then per layer its type code and size and
 * a payload whose float arrays are each preceded by their count. */

static int read_u32(FILE* f, uint32_t* v) { return fread(v, 4, 1, f) == 1; }

/* Reads one array count and steps over its values. */
static int skip_array(FILE* f, uint64_t* total) {
    uint32_t n;
    if (!read_u32(f, &n) || fseeko(f, (off_t)n * 4, SEEK_CUR) != 0) return 0;
    *total += n;
    return 1;
}

static int walk(FILE* f, cli_summary* s) {
    char magic[4];
    if (fread(magic, 4, 1, f) != 1 || memcmp(magic, "tvxf", 4) != 0) return 0;
    if (!read_u32(f, &s->input_size) || !read_u32(f, &s->layer_count)) return 0;
    for (uint32_t i = 0; i < s->layer_count; ++i) {
        uint32_t type, size;
        if (!read_u32(f, &type) || !read_u32(f, &size)) return 0;
        int ok = 1;
        switch (type) {
            case TYPE_LINEAR:
                ok = skip_array(f, &s->weights) && skip_array(f, &s->biases);
                break;
            case TYPE_LAYER_NORM:
                ok = fseeko(f, 4, SEEK_CUR) == 0 && skip_array(f, &s->weights) && skip_array(f, &s->biases);
                break;
            case TYPE_CLIP:
                ok = fseeko(f, 8, SEEK_CUR) == 0;
                break;
            case TYPE_ELU:
            case TYPE_LEAKY_RELU:
                ok = fseeko(f, 4, SEEK_CUR) == 0;
                break;
            default: /* relu, relu6, sigmoid, tanh carry no parameters */
                break;
        }
        if (!ok) return 0;
    }
    /* The records must account for the whole file, to its last byte. */
    off_t end = ftello(f);
    if (end < 0 || fseeko(f, 0, SEEK_END) != 0 || ftello(f) != end) return 0;
    s->encoded_bytes = (uint64_t)end;
    return 1;
}

int cli_write_scratch(const tolvex_model* net, char* path, size_t cap) {
    const char* dir = getenv("TMPDIR");
    if (dir == NULL || *dir == '\0') dir = "/tmp";
    int n = snprintf(path, cap, "%s/tolvex-XXXXXX", dir);
    if (n < 0 || (size_t)n >= cap) {
        cli_error("scratch file path too long");
        return CLI_FAIL;
    }
    int fd = mkstemp(path);
    if (fd < 0) {
        cli_error("cannot create a scratch file in %s", dir);
        return CLI_FAIL;
    }
    close(fd);
    tolvex_result r = tolvex_write_tvxf(net, path);
    if (r != tolvex_Success) {
        cli_error("cannot write scratch file %s: %s", path, tolvex_result_name(r));
        unlink(path);
        return CLI_FAIL;
    }
    return CLI_OK;
}

int cli_summarize(const tolvex_model* net, cli_summary* out) {
    memset(out, 0, sizeof *out);
    out->output_size = tolvex_get_output_len(net);
    char path[4096];
    if (cli_write_scratch(net, path, sizeof path) != CLI_OK) return CLI_FAIL;
    int rc = CLI_FAIL;
    FILE* f = fopen(path, "rb");
    if (f != NULL && walk(f, out))
        rc = CLI_OK;
    else
        cli_error("scratch file %s is not a readable tvxf file", path);
    if (f != NULL) fclose(f);
    unlink(path);
    return rc;
}
