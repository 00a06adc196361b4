/* tolvex lint MODEL */
#include <string.h>

#include "cli.h"
#include "lint.h"

static const char kHelp[] =
    "usage: tolvex lint MODEL\n"
    "\n"
    "Points out what in MODEL is likely a mistake, each finding with its place\n"
    "(line:column in JSON, the byte offset in tvxf) and its path, such as\n"
    "layers[3].alpha:\n"
    "  JSON only: keys the loader ignores (typos such as \"alhpa\" or\n"
    "  \"epsilon\", with the key they likely mean), type names in the wrong\n"
    "  case (\"Linear\"), flat weight arrays of linear layers, duplicate keys,\n"
    "  the syntax error or missing piece that stops a file from loading;\n"
    "  both formats: a \"size\" of a later non-linear layer that differs from\n"
    "  its input (the loader ignores it), non-finite and subnormal parameters,\n"
    "  clip bounds in the wrong order, a layer_norm eps that is not positive.\n"
    "Exits 0 when there is nothing to report, 1 with findings, and 2 when the\n"
    "file does not load (with the library's result code) or on misuse.\n";

int cmd_lint(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    if (argc != 2) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    const char* path = argv[1];
    cli_format format = cli_sniff_format(path);
    if (format == CLI_FORMAT_NONE) {
        cli_error("%s: not a tvxf file, and unknown model file extension (use .json or .tvxf)", path);
        return CLI_USAGE;
    }

    /* The library says whether the file loads; the walker says where it is
     * odd, also (and most usefully) when it does not load. */
    tolvex_model* net = NULL;
    tolvex_result loaded =
        format == CLI_FORMAT_JSON ? tolvex_load_json(&net, path) : tolvex_load_tvxf(&net, path);
    if (loaded == tolvex_Success) tolvex_free_model(net);

    lint_report report;
    memset(&report, 0, sizeof report);
    int readable = (format == CLI_FORMAT_JSON ? lint_json(path, &report) : lint_tvxf(path, &report)) == 0;
    lint_print(&report, path);
    size_t findings = report.len;
    int out_of_memory = report.out_of_memory;
    lint_free(&report);
    if (out_of_memory) cli_error("lint: out of memory; some findings are missing");

    int rc;
    if (loaded != tolvex_Success) {
        printf("%s: does not load: %s\n", path, tolvex_result_name(loaded));
        rc = CLI_USAGE;
    } else if (!readable) {
        cli_error("lint: cannot read %s", path);
        rc = CLI_USAGE;
    } else if (findings > 0) {
        printf("%s: %zu finding%s\n", path, findings, findings == 1 ? "" : "s");
        rc = CLI_FAIL;
    } else {
        printf("%s: no findings\n", path);
        rc = CLI_OK;
    }
    if (fflush(stdout) != 0) {
        cli_error("lint: cannot write the report");
        rc = CLI_USAGE;
    }
    return rc;
}
