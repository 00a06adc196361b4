// Models to and from bytes in memory through the formats' reader and writer
// entry points, and the round-trip property that the fuzz targets and the
// corpus test share. Nothing here uses GoogleTest: a broken property comes
// back as text, so a fuzz target can abort on it and a test can report it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/types.hpp"
#include "base/error.hpp"
#include "support/test_allocators.hpp"

namespace tolvex::testing {

enum class Format { tvxf, json };

const char* formatName(Format format);

// Loads `bytes` through the format's loadFromReader with a 4096-byte buffer.
Result<Model> loadBytes(Format format, Allocator allocator, std::span<const uint8_t> bytes);

// The model's whole encoding, written through writeToWriter into memory.
Result<std::vector<uint8_t>> writeBytes(Format format, const Model& model);

// Whether every float parameter is finite: the JSON text of NaN and infinity
// does not load back.
bool allParametersFinite(const Model& model);

// "" when the two models have the same input size, layers, buffer sharing and
// parameter bits; otherwise the first difference. With nan_any_payload, two
// NaNs of the same sign count as equal (JSON keeps no payload).
std::string compareModels(const Model& a, const Model& b, bool nan_any_payload);

// The output of one forward pass on a fixed input covering signs, zeros and
// large magnitudes, or nothing when the model has no layers or the pass would
// touch more than max_work floats.
std::optional<std::vector<float>> runFixedInput(const Model& model, size_t max_work);

// The round-trip property of `bytes` read as `format`. If they load, the model
// is written in each format, loaded again and written again: both writes must
// give the same bytes, the reloaded model must equal the first one, and both
// must compute the same output bits. tvxf must always reload; JSON may refuse
// the text of a model with a NaN or infinite parameter. Returns "" when the
// property holds (or the bytes do not load), otherwise what broke. Every
// model is allocated from `alloc` and freed again.
std::string checkRoundTrip(Format format, std::span<const uint8_t> bytes, CountingAllocator& alloc,
                           size_t max_work);

}  // namespace tolvex::testing
