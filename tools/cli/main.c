/* tolvex: inspect, run, convert and time model files from the shell. */
#include <errno.h>
#include <stdio_ext.h>
#include <string.h>

#include "cli.h"

static const char kUsage[] =
    "usage: tolvex COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info MODEL              list the layers, sizes and parameter counts\n"
    "  run MODEL [X1 X2 ...]   one forward pass on the given values, or one per\n"
    "                          line of standard input, run in batches\n"
    "  convert IN OUT          rewrite a model in the format OUT's extension names\n"
    "  bench MODEL             time forward passes: mean, median, p99, max\n"
    "  lint MODEL              point out what in a model file is likely a mistake\n"
    "  hash MODEL...           fingerprint of the outputs on a fixed set of inputs\n"
    "\n"
    "MODEL files are binary (tvxf, recognised by their first bytes \"tvxf\") or\n"
    "JSON (.json). '--' ends the options. 'tolvex COMMAND --help' describes a\n"
    "command.\n";

/* Output is delivered only once it leaves the stdio buffer, so a full disk,
 * a closed descriptor or a pipe without reader may show only here: a command
 * whose output was lost fails. Standard output closed from the start counts
 * as lost only if something was written to it. */
static int finish(int rc) {
    int pending = __fpending(stdout) != 0;
    int err = fflush(stdout) != 0 ? errno : 0;
    int failed = err != 0 || ferror(stdout);
    if (fclose(stdout) != 0 && !failed && (pending || errno != EBADF)) {
        err = errno;
        failed = 1;
    }
    if (failed && rc == CLI_OK) {
        if (err != 0)
            cli_error("cannot write standard output: %s", strerror(err));
        else
            cli_error("cannot write standard output");
        rc = CLI_FAIL;
    }
    return rc;
}

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
        strcmp(argv[1], "help") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return finish(argc < 2 ? CLI_USAGE : CLI_OK);
    }
    static const struct {
        const char* name;
        int (*fn)(int, char**);
    } commands[] = {
        {"info", cmd_info},   {"run", cmd_run},   {"convert", cmd_convert},
        {"bench", cmd_bench}, {"lint", cmd_lint}, {"hash", cmd_hash},
    };
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(argv[1], commands[i].name) != 0) continue;
        int cmd_argc = argc - 1;
        char** cmd_argv = argv + 1;
        cli_options_end = cmd_argc;
        for (int k = 1; k < cmd_argc; ++k) {
            if (strcmp(cmd_argv[k], "--") != 0) continue;
            memmove(cmd_argv + k, cmd_argv + k + 1, (size_t)(cmd_argc - k) * sizeof *cmd_argv);
            --cmd_argc;
            cli_options_end = k;
            break;
        }
        tolvex_init();
        int rc = commands[i].fn(cmd_argc, cmd_argv);
        tolvex_deinit();
        return finish(rc);
    }
    cli_error("unknown command '%s'", argv[1]);
    fputs(kUsage, stderr);
    return CLI_USAGE;
}
