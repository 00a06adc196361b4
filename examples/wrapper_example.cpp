// The C++ wrapper in use (C++17): load the bundled policy and query it, run
// it on many states in one call, build a network with the builder, save it
// and load it back from a file and from memory, and handle a failure.
//
// usage: wrapper_example [MODEL] [OUTPUT_DIR]
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "tolvex.hpp"

namespace tvx = tolvex::cpp;

#ifndef CARTPOLE_MODEL
#define CARTPOLE_MODEL "examples/models/cartpole.json"
#endif

int main(int argc, char** argv) {
    const std::string modelPath = argc > 1 ? argv[1] : CARTPOLE_MODEL;
    const std::string outDir = argc > 2 ? argv[2] : ".";
    tvx::Library lib;
    try {
        // A loaded policy: cart position and speed, pole angle and rate in,
        // a force in newtons out.
        tvx::Model policy = tvx::Model::load(modelPath);
        for (float angle : {-0.2f, 0.0f, 0.2f}) {
            std::array<float, 4> state{0.0f, 0.0f, angle, 0.0f};
            tvx::Output force = policy.forward(state);
            std::printf("pole at %+.2f rad -> force %+.4f N\n", angle, force[0]);
        }
        // Many agents, one policy: the states one after another, one call.
        const std::array<float, 12> states{0.0f, 0.0f, -0.2f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.2f, 0.0f};
        std::vector<float> forces = policy.forwardBatch(states);
        std::printf("batched: %zu states of %u values -> forces %+.4f %+.4f %+.4f N\n",
                    states.size() / policy.inputLen(), policy.inputLen(), forces[0], forces[1], forces[2]);

        // A network built in code. The weights must outlive create(); the
        // model keeps its own copies afterwards.
        const std::vector<float> w = {1.0f, -1.0f, 0.5f, 0.5f};
        const std::vector<float> b = {0.0f, -0.25f};
        tvx::Definition def(2);
        def.linear(2, w.data(), b.data()).relu();
        tvx::Model net = tvx::Model::create(def);
        tvx::Output y = net.forward({3.0f, 1.0f});
        std::printf("built: relu(W x + b) = [%g, %g]\n", y[0], y[1]);

        const std::string saved = outDir + "/wrapper_example.tvxf";
        net.write(saved);
        tvx::Model again = tvx::Model::load(saved);
        std::vector<float> z = again.forward({3.0f, 1.0f}).toVector();
        std::printf("reloaded from %s: [%g, %g]\n", saved.c_str(), z[0], z[1]);

        // The same bytes from memory, as an asset archive would hand them over.
        std::string bytes;
        if (std::FILE* f = std::fopen(saved.c_str(), "rb")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
            std::fclose(f);
        }
        tvx::Model fromMemory = tvx::Model::loadMemory(bytes);
        std::vector<float> m = fromMemory.forward({3.0f, 1.0f}).toVector();
        std::printf("from %zu bytes in memory: [%g, %g]\n", bytes.size(), m[0], m[1]);
    } catch (const tvx::Error& e) {
        std::fprintf(stderr, "wrapper_example: %s\n", e.what());
        return 1;
    }

    // Failures carry the result code and its name.
    try {
        tvx::Model::load(outDir + "/no-such-model.json");
    } catch (const tvx::Error& e) {
        std::printf("expected failure, result code %u (%s): %s\n", e.code(), e.name(), e.what());
    }
    return 0;
}
