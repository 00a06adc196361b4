/* tolvex convert IN OUT */
#include "cli.h"

static const char kHelp[] =
    "usage: tolvex convert IN OUT\n"
    "\n"
    "Loads IN (tvxf when it starts with \"tvxf\", otherwise by its extension)\n"
    "and writes the same model to OUT in the format OUT's extension names\n"
    "(.json or .tvxf). OUT is created or replaced. Converting to the same\n"
    "format rewrites the file in the library's own form.\n"
    "A JSON OUT is loaded back and compared with the model. A model with a\n"
    "NaN or infinite parameter cannot be written as JSON (no JSON number\n"
    "reads back as one); that fails before OUT is touched, naming the layer\n"
    "and the parameter. tvxf keeps every value exactly.\n";

int cmd_convert(int argc, char** argv) {
    if (cli_wants_help(argc, argv)) {
        fputs(kHelp, stdout);
        return CLI_OK;
    }
    if (argc != 3) {
        fputs(kHelp, stderr);
        return CLI_USAGE;
    }
    /* OUT is checked before any work, so a bad OUT costs no load. */
    if (cli_check_extension(argv[2]) != CLI_OK) return CLI_USAGE;
    tolvex_model* net = NULL;
    int rc = cli_load(&net, argv[1]);
    if (rc != CLI_OK) return rc;
    int json = cli_format_of(argv[2]) == CLI_FORMAT_JSON;
    if (json) rc = cli_json_can_hold(net, argv[2]);
    if (rc == CLI_OK) rc = cli_write(net, argv[2]);
    if (rc == CLI_OK && json) rc = cli_check_json_round_trip(net, argv[2]);
    tolvex_free_model(net);
    return rc;
}
