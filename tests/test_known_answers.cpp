// Known answers: every model of tests/data/known_answers, loaded through the
// exported loaders on every kernel path, reproduces every output bit that
// answers.txt records for each of its inputs, on both pass directions of the
// linear kernels. NaN outputs are recorded as the canonical 0x7fc00000.
//
// The corpus and its answers are written by tools/known_answers (make
// known-answers), never by a test or a build. The test reads the source tree
// through plain file access only, so it runs the same under an emulator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/known_answers.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;
namespace fs = std::filesystem;

namespace {

const std::string kDir = std::string(TOLVEX_TEST_DATA) + "/known_answers";

// Mismatches reported one by one per model; the rest are only counted.
constexpr size_t kReportedPerModel = 3;

// The parsed answers, and the generated models written once to a scratch
// directory that goes away with the process.
struct Corpus {
    std::vector<known::KnownModel> models;
    std::string error;
    fs::path scratch;

    Corpus() {
        std::optional<std::vector<uint8_t>> text = known::readFile(kDir + "/answers.txt");
        if (!text) {
            error = "cannot read " + kDir + "/answers.txt";
            return;
        }
        auto parsed = known::parseAnswers({reinterpret_cast<const char*>(text->data()), text->size()});
        if (!parsed) {
            error = "answers.txt, " + parsed.error();
            return;
        }
        models = std::move(*parsed);
        std::string tmpl = (fs::temp_directory_path() / "tolvex-known-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            error = "cannot make a scratch directory";
            return;
        }
        scratch = tmpl;
        for (const known::KnownModel& m : models)
            if (m.recipe)
                if (std::string e = known::writeRecipe(*m.recipe, pathOf(m)); !e.empty())
                    error = m.name + ": " + e;
    }
    ~Corpus() {
        std::error_code ec;
        if (!scratch.empty()) fs::remove_all(scratch, ec);
    }

    std::string pathOf(const known::KnownModel& m) const {
        return m.recipe ? (scratch / (m.name + ".tvxf")).string() : kDir + "/" + m.file;
    }
};

const Corpus& corpus() {
    static const Corpus c;
    return c;
}

std::string hex(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

class KnownAnswers : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(KnownAnswers);

TEST_P(KnownAnswers, EveryModelReproducesEveryOutputBit) {
    const Corpus& c = corpus();
    ASSERT_EQ(c.error, "");
    ASSERT_GE(c.models.size(), 200u);
    size_t outputs = 0, mismatches = 0, nan_only = 0;
    for (const known::KnownModel& m : c.models) {
        const std::string path = c.pathOf(m);
        // The answers belong to the model they were recorded with.
        std::optional<std::vector<uint8_t>> bytes = known::readFile(path);
        ASSERT_TRUE(bytes) << "cannot read " << path;
        const uint64_t fnv = known::fnv1a64(*bytes);
        EXPECT_EQ(hex(fnv, 16), hex(m.fnv, 16))
            << m.name
            << ": the model is not the one the answers were recorded for; after a deliberate change, "
            << "regenerate them with make known-answers";

        // Forced before the model is made: a model may carry weights laid out
        // for the path in force.
        tolvex_model* net = nullptr;
        ASSERT_EQ(known::loadModel(&net, path), tolvex_Success) << path;
        size_t reported = 0;
        for (size_t k = 0; k < m.inputs.size(); ++k) {
            std::vector<float> x;
            for (uint32_t b : m.inputs[k]) x.push_back(known::floatOf(b));
            const std::vector<uint32_t>& want = m.outputs[k];
            for (int pass = 0; pass < 2; ++pass) {
                tolvex_forward_pass(net, x.data(), static_cast<uint32_t>(x.size()));
                const float* y = tolvex_get_output_buffer(net);
                ASSERT_EQ(tolvex_get_output_len(net), want.size()) << m.name;
                outputs += want.size();
                for (size_t i = 0; i < want.size(); ++i) {
                    const uint32_t got = known::bitsOf(y[i]);
                    if (got == want[i]) continue;
                    ++mismatches;
                    const bool nan = std::isnan(y[i]) && want[i] == known::kCanonicalNaN;
                    nan_only += nan;
                    if (reported++ < kReportedPerModel)
                        ADD_FAILURE()
                            << m.name << " (" << (m.recipe ? "generated" : m.file) << "), input " << k
                            << ", pass " << pass << ", output " << i << ": expected " << hex(want[i], 8)
                            << ", got " << hex(got, 8) << (nan ? " (a NaN, not the canonical one)" : "");
                }
            }
        }
        if (reported > kReportedPerModel)
            ADD_FAILURE() << m.name << ": " << reported - kReportedPerModel << " more mismatches";
        tolvex_free_model(net);
    }
    EXPECT_EQ(mismatches, 0u) << "mismatches in " << outputs << " outputs; " << nan_only
                              << " of them are NaNs other than 7fc00000";
}

}  // namespace
