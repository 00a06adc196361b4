// Files and models for the tests of writing and reading model files: a
// scratch directory, whole-file reads, directory listings, and models whose
// every parameter has one value, so that a mixture of two of them shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolvex.h"

namespace tolvex::testing {

// A fresh directory under the temporary directory, removed with its contents.
class ScratchDir {
   public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);

// The names in a directory, "." and ".." left out, sorted.
std::vector<std::string> dirEntries(const std::string& dir);

// A model of one linear layer, n inputs to n outputs, whose weights and
// biases all equal v.
tolvex_model* uniformModel(uint32_t n, float v);

// v when the model is uniformModel(n, v) for some v: every output of a pass
// over ones is then (n + 1) v. Nothing when the outputs differ, as they do
// for a model put together from two such models.
std::optional<float> uniformValue(tolvex_model* net, uint32_t n);

// The bytes that writing the model in the format gives (through a file).
std::string encoding(const tolvex_model* net, bool json);

}  // namespace tolvex::testing
