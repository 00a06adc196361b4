// known_answers DIR: writes the known-answer corpus into DIR
// (tests/data/known_answers): every committed model under models/, and
// answers.txt with every input and the bits of every output.
//
// Each model is written through the exported builder and writers, loaded
// back through the loaders on every kernel path this machine has, and run on
// each of its inputs twice (the linear kernels alternate their direction from
// pass to pass). Nothing is written unless every path and the scalar
// reference kernels agree on every output (any NaN matching any NaN) and the
// two passes agree bit for bit. NaN outputs are recorded as 0x7fc00000.
//
// The corpus is built in DIR.new and then takes DIR's place, so a failed run
// leaves DIR as it was. Run it on purpose only: make known-answers.
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "common/types.hpp"
#include "corpus.hpp"
#include "support/reference_kernels.hpp"

using namespace tolvex;
namespace fs = std::filesystem;
namespace known = tolvex::testing::known;

namespace {

constexpr char kHeader[] =
    "# Known answers: every output bit of every model of this corpus on each of\n"
    "# its inputs, the same on every kernel path of every machine.\n"
    "#\n"
    "# Written by tools/known_answers from tools/known_answers/corpus.cpp; do not\n"
    "# edit by hand. After a deliberate change of the corpus or of what the\n"
    "# library computes, regenerate with:  make known-answers\n"
    "#\n"
    "# The format, and the recipes of the generated models, are described in\n"
    "# tests/support/known_answers.hpp. Values are bit patterns in hex; every\n"
    "# NaN output is recorded as 7fc00000.\n";

std::string describe(float f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%08x (%.9g)", known::bitsOf(f), static_cast<double>(f));
    return buf;
}

std::string firstDifference(const std::vector<float>& want, const std::vector<float>& got, bool nan_any) {
    if (want.size() != got.size())
        return std::to_string(got.size()) + " outputs instead of " + std::to_string(want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const bool same =
            nan_any ? testing::sameFloat(want[i], got[i]) : known::bitsOf(want[i]) == known::bitsOf(got[i]);
        if (!same)
            return "output " + std::to_string(i) + ": " + describe(got[i]) + " instead of " +
                   describe(want[i]);
    }
    return "";
}

// The outputs of every input, the same on every path and in the reference;
// or what disagreed.
std::expected<std::vector<std::vector<uint32_t>>, std::string> answer(
    const std::string& path, const std::vector<std::vector<float>>& inputs) {
    std::vector<std::vector<float>> first(inputs.size());
    std::string first_name;
    Slice<const KernelTable* const> tables = availableImplementations();
    for (const KernelTable* table : tables) {
        // A model is laid out for the table in force when it is made.
        forceImplementation(table);
        tolvex_model* net = nullptr;
        const tolvex_result r = known::loadModel(&net, path);
        if (r != tolvex_Success) {
            forceImplementation(nullptr);
            return std::unexpected(std::string("loading: ") + tolvex_result_name(r));
        }
        const Model& model = *reinterpret_cast<const Model*>(net);
        std::string error;
        for (size_t k = 0; k < inputs.size() && error.empty(); ++k) {
            const std::vector<float>& x = inputs[k];
            std::vector<float> out[2];
            for (auto& o : out) {
                tolvex_forward_pass(net, x.data(), static_cast<uint32_t>(x.size()));
                const float* y = tolvex_get_output_buffer(net);
                o.assign(y, y + tolvex_get_output_len(net));
            }
            const std::string where = std::string(table->name) + ", input " + std::to_string(k) + ": ";
            if (std::string d = firstDifference(out[0], out[1], false); !d.empty()) {
                error = where + "the second pass differs from the first: " + d;
            } else if (table == tables[0]) {
                const std::vector<float> ref = testing::referenceForward(model, {x.data(), x.size()});
                if (std::string e = firstDifference(ref, out[0], true); !e.empty())
                    error = where + "differs from the reference: " + e;
                first[k] = out[0];
                first_name = table->name;
            } else if (std::string e = firstDifference(first[k], out[0], true); !e.empty()) {
                error = where + "differs from " + first_name + ": " + e;
            }
        }
        tolvex_free_model(net);
        if (!error.empty()) {
            forceImplementation(nullptr);
            return std::unexpected(error);
        }
    }
    forceImplementation(nullptr);
    std::vector<std::vector<uint32_t>> bits;
    for (const std::vector<float>& o : first) {
        std::vector<uint32_t>& b = bits.emplace_back();
        for (float f : o) b.push_back(known::canonicalBits(f));
    }
    return bits;
}

// Writes a committed model through the exported builder and writer.
std::string writePlan(const testing::ModelPlan& plan, const std::string& path, bool json) {
    tolvex_model_definition* def = nullptr;
    tolvex_result r = testing::buildDefinition(plan, &def);
    if (r != tolvex_Success) return std::string("building the definition: ") + tolvex_result_name(r);
    tolvex_model* net = nullptr;
    r = tolvex_create(&net, def);
    tolvex_free_model_definition(def);
    if (r != tolvex_Success) return std::string("tolvex_create: ") + tolvex_result_name(r);
    r = json ? tolvex_write_json(net, path.c_str()) : tolvex_write_tvxf(net, path.c_str());
    tolvex_free_model(net);
    if (r != tolvex_Success) return std::string("writing: ") + tolvex_result_name(r);
    return "";
}

int fail(const std::string& what) {
    std::fprintf(stderr, "known_answers: %s\n", what.c_str());
    return 1;
}

int run(const fs::path& dir, const fs::path& fresh, const fs::path& scratch) {
    std::vector<known_answers::Case> cases = known_answers::corpusCases();
    std::set<std::string> names;
    std::vector<known::KnownModel> models;
    size_t passes = 0;
    for (const known_answers::Case& c : cases) {
        if (!names.insert(c.name).second) return fail("two models named " + c.name);
        known::KnownModel m;
        m.name = c.name;
        std::string path;
        if (c.plan) {
            m.file = "models/" + c.dir + "/" + c.name + (c.json ? ".json" : ".tvxf");
            path = (fresh / m.file).string();
            fs::create_directories(fs::path(path).parent_path());
            if (std::string e = writePlan(*c.plan, path, c.json); !e.empty()) return fail(c.name + ": " + e);
        } else {
            m.recipe = c.recipe;
            path = (scratch / (c.name + ".tvxf")).string();
            if (std::string e = known::writeRecipe(*c.recipe, path); !e.empty())
                return fail(c.name + ": " + e);
        }
        std::optional<std::vector<uint8_t>> bytes = known::readFile(path);
        if (!bytes) return fail(c.name + ": cannot read back " + path);
        m.fnv = known::fnv1a64(*bytes);
        for (const std::vector<float>& x : c.inputs) {
            std::vector<uint32_t>& b = m.inputs.emplace_back();
            for (float f : x) b.push_back(known::bitsOf(f));
        }
        auto outputs = answer(path, c.inputs);
        if (!outputs) return fail(c.name + ": " + outputs.error());
        m.outputs = std::move(*outputs);
        passes += c.inputs.size();
        models.push_back(std::move(m));
    }

    const std::string text = known::formatAnswers(models, kHeader);
    auto parsed = known::parseAnswers(text);
    if (!parsed || parsed->size() != models.size()) return fail("answers.txt does not read back");
    {
        std::ofstream out(fresh / "answers.txt", std::ios::binary);
        out << text;
        out.close();
        if (!out) return fail("cannot write " + (fresh / "answers.txt").string());
    }

    // DIR.new takes DIR's place.
    fs::path old = dir;
    old += ".old";
    fs::remove_all(old);
    if (fs::exists(dir)) fs::rename(dir, old);
    fs::rename(fresh, dir);
    fs::remove_all(old);
    std::printf("known_answers: %zu models, %zu inputs, %zu kernel paths, written to %s\n", models.size(),
                passes, availableImplementations().len, dir.string().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: known_answers DIR   (make known-answers writes tests/data/known_answers)\n");
        return 2;
    }
    tolvex_init();
    fs::path dir = fs::path(argv[1]).lexically_normal();
    if (dir.filename().empty()) dir = dir.parent_path();  // "DIR/"
    fs::path fresh = dir, scratch;
    fresh += ".new";
    int rc = 1;
    try {
        fs::remove_all(fresh);
        fs::create_directories(fresh);
        std::string tmpl = (fs::temp_directory_path() / "tolvex-known-answers-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) return fail("cannot make a scratch directory");
        scratch = tmpl;
        rc = run(dir, fresh, scratch);
    } catch (const fs::filesystem_error& e) {
        rc = fail(e.what());
    }
    std::error_code ec;
    fs::remove_all(fresh, ec);
    if (!scratch.empty()) fs::remove_all(scratch, ec);
    tolvex_deinit();
    return rc;
}
