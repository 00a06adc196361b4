// What every fuzz target does with one input. A broken property is reported
// on standard error and ends the process with abort(), which libFuzzer
// records as a crash together with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/model_files.hpp"

namespace tolvex::fuzz {

// Memory one input may hold at once. Larger requests fail with OutOfMemory,
// as on a host with that much memory, so models that claim huge sizes stay
// cheap and exercise the loaders' out-of-memory paths.
inline constexpr size_t kLiveLimit = size_t{64} << 20;
// Floats one forward pass may touch; bigger models are loaded but not run.
inline constexpr size_t kMaxWork = size_t{1} << 22;

// Loads the bytes as `format`, runs a loaded model once and frees it; every
// block must be freed again, with the length it was allocated with.
void loadOne(testing::Format format, std::span<const uint8_t> bytes);

// The round-trip property, with the bytes read as each format in turn.
void roundTripOne(std::span<const uint8_t> bytes);

// The bytes through the exported memory loader of `format`: the same result
// code as the streaming load of the same bytes through a 4096-byte buffer,
// and on success the same model, and batched outputs with the bits of the
// single passes.
void loadMemoryOne(testing::Format format, std::span<const uint8_t> bytes);

}  // namespace tolvex::fuzz
