/* The tolvex command-line tool: shared pieces of its commands. Everything
 * here goes through the library's public header only. */
#ifndef TOLVEX_CLI_H
#define TOLVEX_CLI_H

#include <stdint.h>
#include <stdio.h>

#include "tolvex.h"

/* Exit statuses: 0 success, 1 a failure of the work, 2 a usage error. */
enum { CLI_OK = 0, CLI_FAIL = 1, CLI_USAGE = 2 };

typedef enum { CLI_FORMAT_NONE, CLI_FORMAT_JSON, CLI_FORMAT_TVXF } cli_format;

/* The format a path names by its extension (.json or .tvxf, any case). */
cli_format cli_format_of(const char* path);
const char* cli_format_name(cli_format f);

/* The format of an existing file: tvxf when it starts with the magic "tvxf",
 * otherwise the one its extension names (also when it cannot be read: the
 * load then reports why). */
cli_format cli_sniff_format(const char* path);

/* CLI_OK when the path names a format; otherwise reports it, CLI_USAGE. */
int cli_check_extension(const char* path);

/* Loads a model in the format cli_sniff_format finds, or writes one in the
 * format its path names. On failure they print "tolvex: cannot <verb>
 * <path>: <ResultName>" (or the format problem) to standard error and return
 * CLI_FAIL or CLI_USAGE. */
int cli_load(tolvex_model** net, const char* path);
int cli_write(const tolvex_model* net, const char* path);

/* A model at a glance: its sizes from the library, its layer and parameter
 * counts from the file it was loaded from. */
typedef struct {
    uint32_t input_size;
    uint32_t output_size;
    uint32_t layer_count;
    uint64_t weights; /* weight values of linear and layer-normalization layers */
    uint64_t biases;  /* their bias values */
    uint64_t encoded_bytes; /* length of the model's tvxf encoding */
} cli_summary;

/* Fills the summary of `net`, just loaded from `path`, by walking that file
 * (read only; nothing is written). CLI_FAIL, reported, when the file no
 * longer reads as that model. */
int cli_summarize(const tolvex_model* net, const char* path, cli_summary* out);

/* The type codes of the binary encoding's layer records. */
enum { TYPE_LINEAR = 0, TYPE_LAYER_NORM = 1, TYPE_CLIP = 2, TYPE_ELU = 3, TYPE_LEAKY_RELU = 8 };

/* JSON has no number for NaN or an infinity: the library writes them as the
 * string "nan" and the bare inf, which no load reads back.
 * Before writing OUT as JSON: CLI_FAIL, with the first such parameter named
 * by layer and index, when the model has one; OUT is then left alone. */
int cli_json_can_hold(const tolvex_model* net, const char* out);
/* After writing OUT as JSON: loads it back and compares it with the model.
 * When it does not read back as the same model, OUT is removed and the
 * reason reported: CLI_FAIL. An OUT that is not a regular file (a FIFO, a
 * device) cannot be read back and is taken as written. */
int cli_check_json_round_trip(const tolvex_model* net, const char* out);

/* Prints a formatted message after "tolvex: " on standard error. */
void cli_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/* "--" ends the options: main() takes the first "--" after the command name
 * out of argv and sets cli_options_end to the index of the argument that
 * followed it (argc when there was none). A command treats argv[i] as an
 * option only for i < cli_options_end, so `run MODEL -- -1 2` passes -1 as a
 * value and `info -- -odd-name.json` names a file. */
extern int cli_options_end;

/* True when an option before cli_options_end is -h or --help. */
int cli_wants_help(int argc, char** argv);

int cmd_info(int argc, char** argv);
int cmd_run(int argc, char** argv);
int cmd_convert(int argc, char** argv);
int cmd_bench(int argc, char** argv);
int cmd_hash(int argc, char** argv);
int cmd_lint(int argc, char** argv);

#endif
