#include "support/known_answers.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tolvex::testing::known {

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

float floatOf(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

uint32_t canonicalBits(float f) {
    const uint32_t u = bitsOf(f);
    return (u & 0x7fffffffu) > 0x7f800000u ? kCanonicalNaN : u;
}

uint64_t fnv1a64(std::span<const uint8_t> bytes, uint64_t h) {
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3u;
    return h;
}

uint64_t SplitMix64::next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

float SplitMix64::spread(int emin, int emax) {
    const uint64_t r = next();
    const int e = emin + static_cast<int>((r >> 32 & 0xffffu) % static_cast<uint64_t>(emax - emin + 1));
    const uint32_t sign = static_cast<uint32_t>(r >> 63) << 31;
    return floatOf(sign | static_cast<uint32_t>(e + 127) << 23 | static_cast<uint32_t>(r & 0x7fffffu));
}

std::vector<float> SplitMix64::spread(size_t n, int emin, int emax) {
    std::vector<float> v(n);
    for (float& x : v) x = spread(emin, emax);
    return v;
}

std::optional<ModelPlan> planOf(const Recipe& recipe) {
    static constexpr struct {
        const char* name;
        LayerType type;
    } kPlain[] = {{"relu", LayerType::relu},
                  {"relu6", LayerType::relu6},
                  {"sigmoid", LayerType::sigmoid},
                  {"tanh", LayerType::tanh}};
    SplitMix64 gen{recipe.seed};
    ModelPlan plan{"", recipe.input_size, {}};
    uint32_t prev = recipe.input_size;
    for (const std::string& layer : recipe.layers) {
        if (layer.starts_with("linear:")) {
            uint32_t size = 0;
            const char* first = layer.data() + 7;
            const char* last = layer.data() + layer.size();
            auto [end, ec] = std::from_chars(first, last, size);
            if (ec != std::errc{} || end != last || first == last) return std::nullopt;
            LayerPlan l{LayerType::linear, size, {}, {}};
            l.weights = gen.spread(size_t{size} * prev, -8, 0);
            l.biases = gen.spread(size, -8, 0);
            plan.layers.push_back(std::move(l));
            prev = size;
            continue;
        }
        bool known = false;
        for (const auto& p : kPlain)
            if (layer == p.name) {
                plan.layers.push_back({p.type, prev, {}, {}});
                known = true;
            }
        if (!known) return std::nullopt;
    }
    return plan;
}

namespace {

void appendHex(std::string& out, uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(v));
    out += buf;
}

// "in" or "out" and the vector, eight values to a line.
void appendVector(std::string& out, const char* key, const std::vector<uint32_t>& v) {
    out += key;
    for (size_t i = 0; i < v.size(); ++i) {
        out += i == 0 ? " " : i % 8 == 0 ? "\n   " : " ";
        appendHex(out, v[i], 8);
    }
    out += '\n';
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

template <class T>
bool parseNumber(std::string_view text, T& out, int base) {
    if (base == 16 && text.starts_with("0x")) text.remove_prefix(2);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc{} && end == text.data() + text.size() && !text.empty();
}

// The value of `key=` among the words, or nothing.
std::optional<std::string_view> field(const std::vector<std::string_view>& w, std::string_view key) {
    for (std::string_view x : w)
        if (x.size() > key.size() && x.starts_with(key) && x[key.size()] == '=')
            return x.substr(key.size() + 1);
    return std::nullopt;
}

}  // namespace

std::string formatAnswers(const std::vector<KnownModel>& models, std::string_view header) {
    std::string out(header);
    for (const KnownModel& m : models) {
        out += "\nmodel " + m.name;
        if (m.recipe) {
            out += " generated seed=0x";
            appendHex(out, m.recipe->seed, 1);
            out += " input=" + std::to_string(m.recipe->input_size) + " layers=";
            for (size_t i = 0; i < m.recipe->layers.size(); ++i) out += (i ? "," : "") + m.recipe->layers[i];
        } else {
            out += " file=" + m.file;
        }
        out += " fnv1a64=";
        appendHex(out, m.fnv, 16);
        out += '\n';
        for (size_t k = 0; k < m.inputs.size(); ++k) {
            appendVector(out, "in", m.inputs[k]);
            appendVector(out, "out", m.outputs[k]);
        }
    }
    return out;
}

std::expected<std::vector<KnownModel>, std::string> parseAnswers(std::string_view text) {
    std::vector<KnownModel> models;
    std::vector<uint32_t>* open = nullptr;  // the vector that blank-led lines continue
    size_t lineno = 0;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineno;
        auto bad = [&](const char* why) {
            return std::unexpected("line " + std::to_string(lineno) + ": " + why + ": " + std::string(line));
        };
        const std::vector<std::string_view> w = words(line);
        if (w.empty() || w[0].starts_with("#")) continue;
        const bool continues = line[0] == ' ' || line[0] == '\t';
        if (w[0] == "model") {
            if (w.size() < 4) return bad("model line too short");
            KnownModel m;
            m.name = w[1];
            auto fnv = field(w, "fnv1a64");
            if (!fnv || !parseNumber(*fnv, m.fnv, 16)) return bad("no fnv1a64=");
            if (w[2] == "generated") {
                Recipe r;
                auto seed = field(w, "seed"), input = field(w, "input"), layers = field(w, "layers");
                if (!seed || !parseNumber(*seed, r.seed, 16) || !input ||
                    !parseNumber(*input, r.input_size, 10) || !layers)
                    return bad("incomplete recipe");
                for (std::string_view rest = *layers; !rest.empty();) {
                    const size_t comma = rest.find(',');
                    r.layers.emplace_back(rest.substr(0, comma));
                    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
                }
                if (!planOf(r)) return bad("unknown layer in recipe");
                m.recipe = std::move(r);
            } else if (auto file = field(w, "file")) {
                m.file = *file;
            } else {
                return bad("neither file= nor generated");
            }
            models.push_back(std::move(m));
            open = nullptr;
            continue;
        }
        size_t first = 0;
        if (!continues) {
            if (models.empty()) return bad("vector before the first model");
            KnownModel& m = models.back();
            if (w[0] == "in" && m.inputs.size() == m.outputs.size()) {
                open = &m.inputs.emplace_back();
            } else if (w[0] == "out" && m.inputs.size() == m.outputs.size() + 1) {
                open = &m.outputs.emplace_back();
            } else {
                return bad("expected an 'in' line followed by an 'out' line");
            }
            first = 1;
        } else if (open == nullptr) {
            return bad("continuation line without a vector");
        }
        for (size_t i = first; i < w.size(); ++i) {
            uint32_t v;
            if (w[i].size() != 8 || !parseNumber(w[i], v, 16)) return bad("not an 8-digit hex value");
            open->push_back(v);
        }
    }
    for (const KnownModel& m : models)
        if (m.inputs.size() != m.outputs.size())
            return std::unexpected("model " + m.name + ": input without outputs");
    return models;
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

tolvex_result loadModel(tolvex_model** net, const std::string& path) {
    return path.ends_with(".json") ? tolvex_load_json(net, path.c_str())
                                   : tolvex_load_tvxf(net, path.c_str());
}

std::string writeRecipe(const Recipe& recipe, const std::string& path) {
    std::optional<ModelPlan> plan = planOf(recipe);
    if (!plan) return "unknown layer in recipe";
    tolvex_model_definition* def = nullptr;
    tolvex_result r = buildDefinition(*plan, &def);
    if (r != tolvex_Success) return std::string("building the definition: ") + tolvex_result_name(r);
    tolvex_model* net = nullptr;
    r = tolvex_create(&net, def);
    tolvex_free_model_definition(def);
    if (r != tolvex_Success) return std::string("tolvex_create: ") + tolvex_result_name(r);
    r = tolvex_write_tvxf(net, path.c_str());
    tolvex_free_model(net);
    if (r != tolvex_Success) return "tolvex_write_tvxf " + path + ": " + tolvex_result_name(r);
    return "";
}

}  // namespace tolvex::testing::known
