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
    "                          line of standard input\n"
    "  convert IN OUT          rewrite a model in the format OUT's extension names\n"
    "  bench MODEL             time forward passes\n"
    "\n"
    "MODEL files are JSON (.json) or binary (.tvxf). 'tolvex COMMAND --help'\n"
    "describes a command.\n";

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
    } commands[] = {{"info", cmd_info}, {"run", cmd_run}, {"convert", cmd_convert}, {"bench", cmd_bench}};
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(argv[1], commands[i].name) != 0) continue;
        tolvex_init();
        int rc = commands[i].fn(argc - 1, argv + 1);
        tolvex_deinit();
        return finish(rc);
    }
    cli_error("unknown command '%s'", argv[1]);
    fputs(kUsage, stderr);
    return CLI_USAGE;
}
