// Lifecycle, result codes and the error mapping.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "root/root.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;

static_assert(tolvex_Success == 0 && tolvex_WrongLayerSize == 5 && tolvex_OutOfMemory == 9);
static_assert(tolvex_MemoryLeak == 7 && tolvex_SyntaxError == 40 && tolvex_ReadOnlyFileSystem == 48);
static_assert(sizeof(tolvex_result) == 4);

TEST(Lifecycle, DeinitWithoutInitSucceeds) { EXPECT_EQ(tolvex_deinit(), tolvex_Success); }

TEST(Lifecycle, InitTwiceThenOneDeinit) {
    tolvex_init();
    tolvex_init();
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 4), tolvex_Success);
    tolvex_free_model_definition(def);
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
}

TEST(Lifecycle, InitDeinitInitGivesWorkingLibrary) {
    tolvex_init();
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
    tolvex_init();
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu(def, 2), tolvex_Success);
    tolvex_model* net = nullptr;
    ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
    tolvex_free_model_definition(def);
    // Deinit with a model still allocated still succeeds.
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
    tolvex_init();
    tolvex_free_model(net);
    tolvex_deinit();
}

// Every internal error maps to the code of the same name: one table, 47 rows.
TEST(ErrToResult, MapsEveryErrorToItsNamesake) {
    struct Row {
        Error err;
        const char* name;
    };
    const Row rows[] = {
        {Error::AccessDenied, "AccessDenied"},
        {Error::AntivirusInterference, "AntivirusInterference"},
        {Error::BadPathName, "BadPathName"},
        {Error::Canceled, "Canceled"},
        {Error::DeviceBusy, "DeviceBusy"},
        {Error::DuplicateField, "DuplicateField"},
        {Error::EndOfStream, "EndOfStream"},
        {Error::FileBusy, "FileBusy"},
        {Error::FileLocksUnsupported, "FileLocksUnsupported"},
        {Error::FileNotFound, "FileNotFound"},
        {Error::FileTooBig, "FileTooBig"},
        {Error::HeaderMismatch, "HeaderMismatch"},
        {Error::InvalidCharacter, "InvalidCharacter"},
        {Error::InvalidEnumTag, "InvalidEnumTag"},
        {Error::InvalidNumber, "InvalidNumber"},
        {Error::IsDir, "IsDir"},
        {Error::LengthMismatch, "LengthMismatch"},
        {Error::MalformedPolicyDefinition, "MalformedPolicyDefinition"},
        {Error::MissingField, "MissingField"},
        {Error::NameTooLong, "NameTooLong"},
        {Error::NetworkNotFound, "NetworkNotFound"},
        {Error::NoDevice, "NoDevice"},
        {Error::NoSpaceLeft, "NoSpaceLeft"},
        {Error::NotDir, "NotDir"},
        {Error::OutOfMemory, "OutOfMemory"},
        {Error::Overflow, "Overflow"},
        {Error::PathAlreadyExists, "PathAlreadyExists"},
        {Error::PermissionDenied, "PermissionDenied"},
        {Error::PipeBusy, "PipeBusy"},
        {Error::ProcessFdQuotaExceeded, "ProcessFdQuotaExceeded"},
        {Error::ReadFailed, "ReadFailed"},
        {Error::ReadOnlyFileSystem, "ReadOnlyFileSystem"},
        {Error::SymLinkLoop, "SymLinkLoop"},
        {Error::SyntaxError, "SyntaxError"},
        {Error::SystemFdQuotaExceeded, "SystemFdQuotaExceeded"},
        {Error::SystemResources, "SystemResources"},
        {Error::Unexpected, "Unexpected"},
        {Error::UnexpectedEndOfInput, "UnexpectedEndOfInput"},
        {Error::UnexpectedToken, "UnexpectedToken"},
        {Error::UnknownField, "UnknownField"},
        {Error::UnsupportedLayerType, "UnsupportedLayerType"},
        {Error::ValueTooLong, "ValueTooLong"},
        {Error::WeightsBiasesMismatch, "WeightsBiasesMismatch"},
        {Error::WouldBlock, "WouldBlock"},
        {Error::WriteFailed, "WriteFailed"},
        {Error::WrongLayerSize, "WrongLayerSize"},
        {Error::WrongNumberOfWeights, "WrongNumberOfWeights"},
    };
    static_assert(std::size(rows) == kErrorCount);
    std::set<tolvex_result> seen;
    for (const Row& r : rows) {
        tolvex_result code = errToResult(r.err);
        EXPECT_STREQ(tolvex_result_name(code), r.name);
        EXPECT_NE(code, tolvex_Success);
        EXPECT_NE(code, tolvex_MemoryLeak);
        seen.insert(code);
    }
    EXPECT_EQ(seen.size(), std::size(rows));
    EXPECT_EQ(errToResult(Error::FileNotFound), 8u);
    EXPECT_EQ(errToResult(Error::SyntaxError), 40u);
}

TEST(ResultName, NamesEveryCodeAndRejectsOthers) {
    EXPECT_STREQ(tolvex_result_name(tolvex_Success), "Success");
    EXPECT_STREQ(tolvex_result_name(tolvex_MemoryLeak), "MemoryLeak");
    EXPECT_STREQ(tolvex_result_name(48), "ReadOnlyFileSystem");
    EXPECT_STREQ(tolvex_result_name(49), "unknown");
    std::set<std::string> names;
    for (tolvex_result r = 0; r < 49; ++r) names.insert(tolvex_result_name(r));
    EXPECT_EQ(names.size(), 49u);
}
