// The same host through the C++ wrapper: prints 5.5, and with a path
// argument the name of the error that loading it raises.
#include <cstdio>

#include "tolvex.hpp"

int main(int argc, char** argv) {
    tolvex::cpp::Library lib;
    const float w[2] = {2.0f, -1.0f}, b[1] = {0.5f};
    tolvex::cpp::Definition def(2);
    def.linear(1, w, b).relu();
    tolvex::cpp::Model net = tolvex::cpp::Model::create(def);
    std::printf("%g\n", net.forward({3.0f, 1.0f})[0]);
    if (argc > 1) {
        try {
            tolvex::cpp::Model::load(argv[1]);
        } catch (const tolvex::cpp::Error& e) {
            std::printf("%s\n", e.name());
        }
    }
}
