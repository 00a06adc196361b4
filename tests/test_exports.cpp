// The shared library's interface: exactly the functions the header declares,
// all named tolvex_, and no run-time dependency beyond libc, libm and the
// loader. The binutils are the build's own (a cross build's for its target).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// The functions the header declares, before the section "Beyond the core
// interface" (core = true) or in it.
std::set<std::string> declaredFunctions(bool core) {
    std::ifstream in(TOLVEX_HEADER);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const size_t beyond = text.find("Beyond the core interface");
    EXPECT_NE(beyond, std::string::npos);
    text = core ? text.substr(0, beyond) : text.substr(beyond);
    std::set<std::string> names;
    std::regex decl(R"(TOLVEX_API\s+[^;(]*?\b(tolvex_\w+)\s*\()");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), decl); it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

// The 23 functions of the core interface, which never change.
const std::set<std::string> kCore = {
    "tolvex_init",           "tolvex_deinit",           "tolvex_new_model_definition",
    "tolvex_add_linear",     "tolvex_add_layer_norm",   "tolvex_add_clip",
    "tolvex_add_elu",        "tolvex_add_relu",         "tolvex_add_relu6",
    "tolvex_add_sigmoid",    "tolvex_add_tanh",         "tolvex_add_leaky_relu",
    "tolvex_free_model_definition", "tolvex_create",    "tolvex_free_model",
    "tolvex_forward_pass",   "tolvex_get_output_buffer", "tolvex_get_output_len",
    "tolvex_print_layers",   "tolvex_load_tvxf",        "tolvex_write_tvxf",
    "tolvex_load_json",      "tolvex_write_json"};

// The functions beyond it, each added by a minor version.
const std::set<std::string> kBeyondCore = {
    "tolvex_get_input_len", "tolvex_load_tvxf_memory", "tolvex_load_json_memory", "tolvex_forward_batch"};

}  // namespace

TEST(SharedLibrary, ExportsExactlyTheDeclaredFunctions) {
    EXPECT_EQ(kCore.size(), 23u);
    EXPECT_EQ(declaredFunctions(true), kCore);
    EXPECT_EQ(declaredFunctions(false), kBeyondCore);
    std::set<std::string> declared = kCore;
    declared.insert(kBeyondCore.begin(), kBeyondCore.end());
    std::string nm = run(std::string(TOLVEX_NM) + " -D --defined-only " + TOLVEX_SHARED_LIBRARY);
    ASSERT_FALSE(nm.empty());
    std::set<std::string> exported;
    std::istringstream lines(nm);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string addr, type, name;
        f >> addr >> type >> name;
        if (name.empty()) continue;
#ifdef TOLVEX_SANITIZED
        if (name.rfind("tolvex_", 0) != 0) continue;  // sanitizer runtimes add their own
#endif
        exported.insert(name);
        EXPECT_EQ(type, "T") << name;
    }
    EXPECT_EQ(exported, declared);
}

TEST(SharedLibrary, HasSonameAndOnlyLibcLibmDependencies) {
    std::string dyn = run(std::string(TOLVEX_READELF) + " -d " + TOLVEX_SHARED_LIBRARY);
    EXPECT_NE(dyn.find("Library soname: [libtolvex.so.0]"), std::string::npos);
#ifndef TOLVEX_SANITIZED
    std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    std::set<std::string> deps;
    for (auto it = std::sregex_iterator(dyn.begin(), dyn.end(), needed); it != std::sregex_iterator(); ++it)
        deps.insert((*it)[1]);
    for (const std::string& d : deps)
        // The dynamic loader's name varies with the architecture
        // (ld-linux-x86-64.so.2, ld-linux-aarch64.so.1, ld64.so.2, ...).
        EXPECT_TRUE(d == "libc.so.6" || d == "libm.so.6" || d.rfind("ld-linux", 0) == 0 || d.rfind("ld64.so", 0) == 0)
            << d;
#endif
}

#if defined(__x86_64__)
// VEX- and EVEX-encoded instructions (AVX and later: every mnemonic that
// starts with 'v') appear only in the AVX2 and AVX-512 units: no shared inline
// function is compiled for them, so nothing that runs before the CPU check,
// or on the baseline path, can reach one.
TEST(SharedLibrary, AvxInstructionsOnlyInsideTheirImplementations) {
    std::string dis = run(std::string(TOLVEX_OBJDUMP) + " -d -C --no-show-raw-insn " + TOLVEX_SHARED_LIBRARY);
    ASSERT_FALSE(dis.empty());
    std::istringstream lines(dis);
    std::string line, function;
    std::set<std::string> offenders;
    size_t avx = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == ':' && line.find(" <") != std::string::npos) function = line;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || tab + 1 >= line.size() || line[tab + 1] != 'v') continue;
        ++avx;
        if (function.find("tolvex::avx2::") == std::string::npos && function.find("tolvex::avx512::") == std::string::npos)
            offenders.insert(function);
    }
    EXPECT_GT(avx, 0u);
    EXPECT_TRUE(offenders.empty()) << offenders.size() << " functions, e.g. " << *offenders.begin();
}
#endif
