/* Model file formats, error messages and arguments. */
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

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
