#include "support/file_helpers.hpp"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tolvex::testing {

ScratchDir::ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tolvex-files-XXXXXX").string();
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> dirEntries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

tolvex_model* uniformModel(uint32_t n, float v) {
    std::vector<float> w(size_t{n} * n, v), b(n, v);
    tolvex_model_definition* def = nullptr;
    tolvex_model* net = nullptr;
    if (tolvex_new_model_definition(&def, n) != tolvex_Success) return nullptr;
    if (tolvex_add_linear(def, {w.data(), b.data()}, n) != tolvex_Success || tolvex_create(&net, def) != tolvex_Success)
        net = nullptr;
    tolvex_free_model_definition(def);
    return net;
}

std::optional<float> uniformValue(tolvex_model* net, uint32_t n) {
    if (tolvex_get_output_len(net) != n) return std::nullopt;
    std::vector<float> ones(n, 1.0f);
    tolvex_forward_pass(net, ones.data(), n);
    const float* y = tolvex_get_output_buffer(net);
    for (uint32_t i = 1; i < n; ++i)
        if (y[i] != y[0]) return std::nullopt;
    return y[0] / static_cast<float>(n + 1);
}

std::string encoding(const tolvex_model* net, bool json) {
    ScratchDir dir;
    std::string path = dir / (json ? "m.json" : "m.tvxf");
    tolvex_result r = json ? tolvex_write_json(net, path.c_str()) : tolvex_write_tvxf(net, path.c_str());
    if (r != tolvex_Success) return "";
    return readWholeFile(path).value_or("");
}

}  // namespace tolvex::testing
