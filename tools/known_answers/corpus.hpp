// What the known-answer corpus holds: every model with the input vectors it
// is run on. Everything is deterministic, so writing the corpus twice gives
// the same files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/known_answers.hpp"
#include "support/sample_models.hpp"

namespace tolvex::known_answers {

struct Case {
    std::string name;                              // unique; also the file name without its extension
    std::string dir;                               // folder of the file under models/
    bool json = false;                             // JSON file, else tvxf
    std::optional<testing::ModelPlan> plan;        // a model committed as a file,
    std::optional<testing::known::Recipe> recipe;  // or one built from a recipe
    std::vector<std::vector<float>> inputs;
};

std::vector<Case> corpusCases();

}  // namespace tolvex::known_answers
