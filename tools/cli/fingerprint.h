/* The fingerprint of a model's outputs on a fixed set of inputs, as
 * `tolvex hash` prints it (its help text defines it exactly). */
#ifndef TOLVEX_CLI_FINGERPRINT_H
#define TOLVEX_CLI_FINGERPRINT_H

#include <stdint.h>

#include "tolvex.h"

/* Runs the 81 input vectors of input_len values through net (which must take
 * that many) and stores the hash of all outputs in *out. Returns 0, or -1
 * when the input vector cannot be allocated. */
int model_fingerprint(tolvex_model* net, uint32_t input_len, uint64_t* out);

#endif
