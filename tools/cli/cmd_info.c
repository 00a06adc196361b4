/* tolvex info MODEL */
#include <unistd.h>

#include "cli.h"

static const char kHelp[] =
    "usage: tolvex info MODEL\n"
    "\n"
    "Prints the library's layer listing of MODEL, then its input and output\n"
    "sizes, its weight and bias counts and the bytes they take as 32-bit\n"
    "floats, and the length of its binary (tvxf) encoding.\n";

/* The library lists layers on standard error; point that descriptor at
 * standard output meanwhile so the whole report goes to one stream. The
 * library ignores errors writing the listing; the stream's error flag keeps
 * them. CLI_FAIL when the listing was lost. */
static int print_layers_to_stdout(const tolvex_model* net) {
    fflush(stdout);
    fflush(stderr);
    clearerr(stderr);
    int saved = dup(2);
    if (saved < 0 || dup2(1, 2) < 0) {
        if (saved >= 0) close(saved);
        tolvex_print_layers(net);
    } else {
        tolvex_print_layers(net);
        dup2(saved, 2);
        close(saved);
    }
    int lost = ferror(stderr);
    clearerr(stderr);
    return lost ? CLI_FAIL : CLI_OK;
}

int cmd_info(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    if (argc != 2) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    const char* path = argv[1];
    tolvex_model* net = NULL;
    int rc = cli_load(&net, path);
    if (rc != CLI_OK) return rc;
    cli_summary s;
    rc = cli_summarize(net, path, &s);
    if (rc == CLI_OK) {
        printf("file: %s (%s)\n", path, cli_format_name(cli_sniff_format(path)));
        if (print_layers_to_stdout(net) != CLI_OK) {
            cli_error("cannot write the layer listing");
            rc = CLI_FAIL;
        }
        uint64_t params = s.weights + s.biases;
        printf("layers: %u\n", s.layer_count);
        printf("input size: %u, output size: %u\n", s.input_size, s.output_size);
        printf("weights: %llu, biases: %llu, parameters: %llu (%llu bytes as float32)\n",
               (unsigned long long)s.weights, (unsigned long long)s.biases,
               (unsigned long long)params, (unsigned long long)(params * 4));
        printf("tvxf encoding: %llu bytes\n", (unsigned long long)s.encoded_bytes);
    }
    tolvex_free_model(net);
    return rc;
}
