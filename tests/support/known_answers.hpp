// The known-answer corpus (tests/data/known_answers): the answers file that
// tools/known_answers writes and the known-answer test reads, the models made
// from a recipe instead of a file, and the small deterministic generator and
// hash both sides use. Everything goes through the exported interface.
//
// answers.txt, line by line ('#' lines and blank lines are comments):
//   model NAME file=PATH fnv1a64=HASH
//       a model file, PATH relative to the corpus directory (.tvxf or .json);
//   model NAME generated seed=SEED input=N layers=L1,L2,... fnv1a64=HASH
//       a model built from a recipe (Recipe below), too large to commit;
//   in V V V ...    one input vector of the model above, as 8-digit hex bit
//   out V V V ...   patterns, then the outputs it gives;
//     V V ...       a line that starts with blanks continues the vector.
// HASH is FNV-1a 64 over the model's file bytes (for a recipe: over its tvxf
// encoding), so an answer never outlives a change of its model. Every NaN
// output is recorded as 0x7fc00000.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/sample_models.hpp"
#include "tolvex.h"

namespace tolvex::testing::known {

inline constexpr uint32_t kCanonicalNaN = 0x7fc00000;

uint32_t bitsOf(float f);
float floatOf(uint32_t bits);
// The bits, with every NaN replaced by kCanonicalNaN.
uint32_t canonicalBits(float f);

inline constexpr uint64_t kFnvOffset = 0xcbf29ce484222325u;
// FNV-1a, 64 bits. Two inputs of equal length that differ in one byte always
// hash differently: each step is a bijection of the state.
uint64_t fnv1a64(std::span<const uint8_t> bytes, uint64_t h = kFnvOffset);

// splitmix64: the n-th draw depends only on the seed and n.
struct SplitMix64 {
    uint64_t state;
    uint64_t next();
    // A float of random sign with |x| in [2^emin, 2^(emax + 1)): the
    // exponent uniform over emin..emax (from bits 32..47 of a draw), the 23
    // mantissa bits from bits 0..22. Exact: the bits are set directly.
    float spread(int emin, int emax);
    std::vector<float> spread(size_t n, int emin, int emax);
};

// A model described by a seed and a list of layers: "linear:N" (N outputs)
// or one of relu, relu6, sigmoid, tanh. The linear layers take their weights
// (row by row) and then their biases from one SplitMix64 stream seeded with
// `seed`, in layer order, each value spread(-8, 0).
struct Recipe {
    uint64_t seed = 0;
    uint32_t input_size = 0;
    std::vector<std::string> layers;
};

// The plan of the recipe's model, or nothing for an unknown layer.
std::optional<ModelPlan> planOf(const Recipe& recipe);

struct KnownModel {
    std::string name;
    std::string file;              // relative to the corpus directory; empty for a recipe
    std::optional<Recipe> recipe;  // set when the model is generated
    uint64_t fnv = 0;
    std::vector<std::vector<uint32_t>> inputs, outputs;
};

std::string formatAnswers(const std::vector<KnownModel>& models, std::string_view header);
// The models of an answers file, or the number and text of the first line
// that does not follow the format.
std::expected<std::vector<KnownModel>, std::string> parseAnswers(std::string_view text);

std::optional<std::vector<uint8_t>> readFile(const std::string& path);

// tolvex_load_tvxf or tolvex_load_json, by the path's extension.
tolvex_result loadModel(tolvex_model** net, const std::string& path);

// Builds the recipe's model through the exported builder and writes it to
// `path` as tvxf. "" on success, else what failed.
std::string writeRecipe(const Recipe& recipe, const std::string& path);

}  // namespace tolvex::testing::known
