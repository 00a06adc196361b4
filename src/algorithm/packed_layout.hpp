// The packed copies of linear layers' weights that vector kernels read
// instead of the row-major matrix.
//
// A PackedLayout names one arrangement and makes copies in it. An
// implementation's table names the layout its linear kernel reads (or none),
// a model gets its copies from the table active when it is made, and a kernel
// reads a copy only when the copy's layout is its own.
//
// The one layout so far, kGroups16 (read by the AVX2, AVX-512 and NEON
// kernels): the output neurons form groups of 16. A group has row_len + 1
// rows of 16 floats: row j < row_len holds W[16g + k][j] for k = 0..15 (the
// group's weights for input j, one lane per neuron), and row row_len holds
// the group's biases. Lanes past the end of a short last group are +0.0.
//
// Groups are stored in tiles of packedTileGroups() groups (the last tile may
// hold fewer); a tile of G groups takes G * packedBlockFloats() floats and
// starts where the previous one ends. Inside a tile, the rows come in sets:
// set packedRowSet(j) holds row j of each of the tile's G groups, one after
// another. A layer that stays in L1 has tiles of one group with the rows in
// input order. A larger layer has tiles of four groups, with the rows in the
// order the kernels read them: the main rows lanes four at a time over all
// chunks of 16 inputs, then the tail rows, then the biases. A pass over a tile
// is then one sequential stream, which is what streams best from L2. The data
// starts on a 64-byte boundary, so every row is one aligned cache line.
//
// With the inputs along the rows, one vector multiply and add advances the
// lane-l accumulators of 16 neurons at once, and the in-order sum over the
// lanes is 15 plain vector additions with no transpose; the arithmetic per
// neuron and lane is the same as on the row-major matrix, so are the bits.
#pragma once

#include <cstddef>

#include "base/error.hpp"
#include "common/types.hpp"

namespace tolvex {

struct PackedLayout {
    const char* name;
    // The copy of a linear layer whose rows hold row_len inputs, or an empty
    // copy when the layer does not gain from one (too small or too large).
    Result<PackedLinear> (*pack)(Allocator a, const Layer& layer, size_t row_len);
    size_t align;  // of the copy's data, which is freed with it
};

extern const PackedLayout kGroups16;

// Frees a layer's packed copy (nothing for an empty one).
void freePacked(Allocator a, const PackedLinear& packed);

inline constexpr size_t kPackedGroup = 16;
inline constexpr size_t kPackedAlign = 64;
// Layers with up to this many weights (512 KiB) get a packed copy: they fit
// the L2 cache of current cores, where the layout decides the speed. Larger
// layers stream from L3 or memory at the speed of reading the weights either
// way, and a second copy would only double their memory.
inline constexpr size_t kPackedMaxWeights = size_t{1} << 17;
// Layers with up to this many weights (64 KiB) stay in L1 between passes.
inline constexpr size_t kL1Weights = 16384;
// The groups per tile, and the lanes the kernels take at once over a tile.
inline constexpr size_t kPackedTile = 4;
inline constexpr size_t kPackedLanesPerPass = 4;

inline constexpr size_t packedBlockFloats(size_t row_len) { return (row_len + 1) * kPackedGroup; }
inline constexpr size_t packedTileGroups(size_t out, size_t row_len) {
    return out * row_len > kL1Weights ? kPackedTile : 1;
}
// The groups in the tile that starts at group `first` of `groups`: per_tile,
// or fewer in the last tile.
inline constexpr size_t groupsInTile(size_t groups, size_t first, size_t per_tile) {
    return groups - first < per_tile ? groups - first : per_tile;
}
// The set that holds row j (j <= row_len) in a tile of a layer with
// tile_groups groups per tile.
inline constexpr size_t packedRowSet(size_t j, size_t row_len, size_t tile_groups) {
    const size_t chunks = row_len / kPackedGroup;
    if (tile_groups == 1 || j >= chunks * kPackedGroup) return j;
    const size_t c = j / kPackedGroup, lane = j % kPackedGroup;
    return (lane / kPackedLanesPerPass * chunks + c) * kPackedLanesPerPass + lane % kPackedLanesPerPass;
}

// Where the rows of one tile lie, in floats from the tile's start, for a
// layer whose tiles hold tile_groups groups and whose rows are in reading
// order (every tile of a layer with tiles of several groups, the last one
// included, whatever it holds) or in input order: main row j = 16c + 4p + q
// of the tile's group g at p * pass + c * chunk + q * lane + 16 g; tail row j
// and the bias row (j = row_len) at j * lane + 16 g.
struct PackedRows {
    size_t pass, chunk, lane;
    PackedRows(size_t row_len, size_t tile_groups, bool reading_order) {
        const size_t chunks = row_len / kPackedGroup;
        lane = kPackedGroup * tile_groups;
        chunk = reading_order ? kPackedLanesPerPass * lane : kPackedGroup * lane;
        pass = reading_order ? chunks * kPackedLanesPerPass * lane : kPackedLanesPerPass * lane;
    }
    const float* row(const float* tile, size_t j, size_t g) const {
        const size_t c = j / kPackedGroup, lane_j = j % kPackedGroup;
        return tile + pass * (lane_j / kPackedLanesPerPass) + chunk * c + lane * (lane_j % kPackedLanesPerPass) +
               kPackedGroup * g;
    }
    const float* tailRow(const float* tile, size_t j, size_t g) const { return tile + lane * j + kPackedGroup * g; }
};

}  // namespace tolvex
