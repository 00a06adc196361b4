/* tolvex: inspect, run, convert and time model files from the shell. */
#include <string.h>

#include "cli.h"

static const char kUsage[] =
    "usage: tolvex COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info MODEL              list the layers, sizes and parameter counts\n"
    "  run MODEL [X1 X2 ...]   one forward pass on the given values, or one per\n"
    "                          line of standard input\n"
    "  convert IN OUT          rewrite a model in the format OUT's extension names\n"
    "  bench MODEL             time forward passes\n"
    "  hash MODEL...           fingerprint of the outputs on a fixed set of inputs\n"
    "\n"
    "MODEL files are JSON (.json) or binary (.tvxf). 'tolvex COMMAND --help'\n"
    "describes a command.\n";

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
        strcmp(argv[1], "help") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? CLI_USAGE : CLI_OK;
    }
    static const struct {
        const char* name;
        int (*fn)(int, char**);
    } commands[] = {{"info", cmd_info}, {"run", cmd_run}, {"convert", cmd_convert}, {"bench", cmd_bench},
                    {"hash", cmd_hash}};
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(argv[1], commands[i].name) != 0) continue;
        tolvex_init();
        int rc = commands[i].fn(argc - 1, argv + 1);
        tolvex_deinit();
        return rc;
    }
    cli_error("unknown command '%s'", argv[1]);
    fputs(kUsage, stderr);
    return CLI_USAGE;
}
