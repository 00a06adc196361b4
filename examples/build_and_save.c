/* Builds a small network through the builder, runs it, saves it as JSON and
 * as tvxf, and loads both files back to show they compute the same bits.
 *
 * usage: build_and_save [OUTPUT_DIR]   (default: the working directory)
 */
#include <stdio.h>
#include <string.h>

#include "tolvex.h"

#define CHECK(call)                                                                   \
    do {                                                                              \
        tolvex_result r_ = (call);                                                    \
        if (r_ != tolvex_Success) {                                                   \
            fprintf(stderr, "build_and_save: %s: %s\n", #call, tolvex_result_name(r_)); \
            return 1;                                                                 \
        }                                                                             \
    } while (0)

/* 3 inputs -> linear 4 -> layer norm -> leaky ReLU -> linear 2 -> sigmoid. */
static const float w1[4 * 3] = {0.5f, -0.25f, 1.0f,   /* neuron 0 */
                                 -1.0f, 0.75f, 0.125f, /* neuron 1 */
                                 0.3f, 0.3f, -0.6f,    /* neuron 2 */
                                 2.0f, 0.0f, -0.5f};   /* neuron 3 */
static const float b1[4] = {0.1f, 0.0f, -0.2f, 0.05f};
static const float ln_w[4] = {1.0f, 0.5f, 2.0f, 1.0f};
static const float ln_b[4] = {0.0f, 0.1f, 0.0f, -0.1f};
static const float w2[2 * 4] = {1.0f, -1.0f, 0.5f, 0.25f, -0.5f, 0.5f, 1.0f, -2.0f};
static const float b2[2] = {0.0f, 0.5f};

static void print_vector(const char* label, const float* v, uint32_t n) {
    printf("%s", label);
    for (uint32_t i = 0; i < n; ++i) printf(" %.9g", (double)v[i]);
    printf("\n");
}

static int build(tolvex_model** net) {
    tolvex_model_definition* def = NULL;
    CHECK(tolvex_new_model_definition(&def, 3));
    tolvex_result r = tolvex_add_linear(def, (tolvex_linear){w1, b1}, 4);
    if (r == tolvex_Success) r = tolvex_add_layer_norm(def, (tolvex_layer_norm){ln_w, ln_b, 1e-5f}, 4);
    if (r == tolvex_Success) r = tolvex_add_leaky_relu(def, (tolvex_leaky_relu){0.01f}, 4);
    if (r == tolvex_Success) r = tolvex_add_linear(def, (tolvex_linear){w2, b2}, 2);
    if (r == tolvex_Success) r = tolvex_add_sigmoid(def, 2);
    if (r == tolvex_Success) r = tolvex_create(net, def);
    /* The model holds copies of the weights: the definition can go now. */
    tolvex_free_model_definition(def);
    CHECK(r);
    return 0;
}

/* Loads `path` with `load`, runs it on `x` and compares with `want`. */
static int reload_and_compare(tolvex_result (*load)(tolvex_model**, const char*), const char* path,
                              const float* x, const float* want, uint32_t n) {
    tolvex_model* copy = NULL;
    CHECK(load(&copy, path));
    tolvex_forward_pass(copy, x, 3);
    int same = tolvex_get_output_len(copy) == n && memcmp(tolvex_get_output_buffer(copy), want, n * sizeof(float)) == 0;
    printf("%s: %s\n", path, same ? "loads and computes the same bits" : "DIFFERS");
    tolvex_free_model(copy);
    return same ? 0 : 1;
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    char json[4096], tvxf[4096];
    snprintf(json, sizeof json, "%s/build_and_save.json", dir);
    snprintf(tvxf, sizeof tvxf, "%s/build_and_save.tvxf", dir);

    tolvex_init();
    tolvex_model* net = NULL;
    int rc = build(&net);
    if (rc == 0) {
        fflush(stdout); /* the listing goes to standard error; keep the order */
        tolvex_print_layers(net);
        const float x[3] = {1.0f, -2.0f, 0.5f};
        tolvex_forward_pass(net, x, 3);
        float y[2];
        uint32_t n = tolvex_get_output_len(net);
        memcpy(y, tolvex_get_output_buffer(net), n * sizeof(float));
        print_vector("input: ", x, 3);
        print_vector("output:", y, n);

        tolvex_result r = tolvex_write_json(net, json);
        if (r == tolvex_Success) r = tolvex_write_tvxf(net, tvxf);
        if (r != tolvex_Success) {
            fprintf(stderr, "build_and_save: cannot write to %s: %s\n", dir, tolvex_result_name(r));
            rc = 1;
        } else {
            rc = reload_and_compare(tolvex_load_json, json, x, y, n) | reload_and_compare(tolvex_load_tvxf, tvxf, x, y, n);
        }
        tolvex_free_model(net);
    }
    tolvex_deinit();
    return rc;
}
