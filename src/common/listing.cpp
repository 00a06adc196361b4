// The layer listing on standard error.
//
// Each fragment is written while holding the C library's lock on stderr, so
// it never interleaves with other output that takes the same lock. The bytes
// go through the stdio stream itself (fwrite_unlocked) rather than straight
// to file descriptor 2: should the host have given stderr a buffer, its
// earlier output still comes out before ours. Errors writing are ignored,
// and the SIGPIPE that writing to a closed pipe raises never reaches the host
// (io::QuietWriteSignals).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/model.hpp"
#include "io/io.hpp"
#include "text/float_text.hpp"

namespace tolvex {

namespace {

// One fragment: the lock is held from construction to destruction, and the
// text is staged in 64 bytes written out whenever they fill and at the end.
class Fragment {
   public:
    Fragment() { flockfile(stderr); }
    ~Fragment() {
        flush();
        funlockfile(stderr);
    }
    Fragment(const Fragment&) = delete;
    Fragment& operator=(const Fragment&) = delete;

    Fragment& text(std::string_view s) {
        while (!s.empty()) {
            if (len_ == sizeof buf_) flush();
            size_t take = std::min(s.size(), sizeof buf_ - len_);
            std::memcpy(buf_ + len_, s.data(), take);
            len_ += take;
            s.remove_prefix(take);
        }
        return *this;
    }
    Fragment& num(uint64_t v) {
        // Not std::to_chars: its integer path instantiates a table with a
        // unique global symbol that would leave the shared library exported.
        char digits[20];  // 2^64 - 1 has 20 digits
        size_t at = sizeof digits;
        do {
            digits[--at] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        return text({digits + at, sizeof digits - at});
    }
    Fragment& real(float v) {
        char digits[kMaxFloatText];
        return text({digits, formatFloat(digits, v, FloatWidth::single)});
    }

   private:
    void flush() {
        if (len_ != 0) (void)fwrite_unlocked(buf_, 1, len_, stderr);
        len_ = 0;
    }

    char buf_[64];
    size_t len_ = 0;
};

void describe(const Layer& layer) {
    const LayerConfig& c = layer.cfg;
    size_t size = layer.out_buf.len;
    Fragment f;
    switch (c.type) {
        case LayerType::linear: f.text("linear layer (size=").num(size); break;
        case LayerType::layer_norm:
            f.text("layer normalization layer (size=").num(size).text(", eps=").real(c.layer_norm.eps);
            break;
        case LayerType::clip:
            f.text("clipping layer (size=")
                .num(size)
                .text(", min=")
                .real(c.clip.min)
                .text(", max=")
                .real(c.clip.max);
            break;
        case LayerType::elu: f.text("ELU layer (size=").num(size).text(", alpha=").real(c.elu.alpha); break;
        case LayerType::relu: f.text("ReLU layer (size=").num(size); break;
        case LayerType::relu6: f.text("ReLU6 layer (size=").num(size); break;
        case LayerType::sigmoid: f.text("Sigmoid layer (size=").num(size); break;
        case LayerType::tanh: f.text("tanh layer (size=").num(size); break;
        case LayerType::leaky_relu:
            f.text("LeakyReLU layer (size=")
                .num(size)
                .text(", negative_slope=")
                .real(c.leaky_relu.negative_slope);
            break;
    }
    f.text(")\n");
}

}  // namespace

void printLayers(const Model& model) {
    io::QuietWriteSignals quiet;
    Fragment().text("model layers:\n");
    Fragment().text("input size: ").num(model.input_size).text("\n");
    for (size_t i = 0; i < model.layers.len; ++i) {
        Fragment().text("#").num(i).text(": ");
        describe(model.layers[i]);
    }
}

}  // namespace tolvex
