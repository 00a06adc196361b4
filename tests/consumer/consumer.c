/* A host program as a user of an installed or vendored tolvex writes it:
 * y = relu(2 x0 - x1 + 0.5) for x = (3, 1) prints 5.5, and x = (1, 3) in the
 * same batch gives relu(-0.5) = 0. */
#include <stdio.h>

#include "tolvex.h"

int main(void) {
    static const float w[2] = {2.0f, -1.0f}, b[1] = {0.5f};
    tolvex_init();
    tolvex_model_definition* def = NULL;
    tolvex_model* net = NULL;
    if (tolvex_new_model_definition(&def, 2) || tolvex_add_linear(def, (tolvex_linear){w, b}, 1) ||
        tolvex_add_relu(def, 1) || tolvex_create(&net, def))
        return 1;
    tolvex_free_model_definition(def);
    const float x[2] = {3.0f, 1.0f};
    tolvex_forward_pass(net, x, 2);
    printf("%g\n", (double)tolvex_get_output_buffer(net)[0]);
    /* Since 0.2: the input size, and several inputs in one batch. */
    const float xs[4] = {3.0f, 1.0f, 1.0f, 3.0f};
    float ys[2];
    tolvex_forward_batch(net, xs, tolvex_get_input_len(net), 2, ys);
    if (ys[0] != 5.5f || ys[1] != 0.0f) return 1;
    tolvex_free_model(net);
    return tolvex_deinit();
}
