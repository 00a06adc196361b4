#include "root/root.hpp"

namespace tolvex {

// A switch without default: -Wswitch proves every error has its code.
tolvex_result errToResult(Error err) {
    switch (err) {
        case Error::AccessDenied: return tolvex_AccessDenied;
        case Error::AntivirusInterference: return tolvex_AntivirusInterference;
        case Error::BadPathName: return tolvex_BadPathName;
        case Error::Canceled: return tolvex_Canceled;
        case Error::DeviceBusy: return tolvex_DeviceBusy;
        case Error::DuplicateField: return tolvex_DuplicateField;
        case Error::EndOfStream: return tolvex_EndOfStream;
        case Error::FileBusy: return tolvex_FileBusy;
        case Error::FileLocksUnsupported: return tolvex_FileLocksUnsupported;
        case Error::FileNotFound: return tolvex_FileNotFound;
        case Error::FileTooBig: return tolvex_FileTooBig;
        case Error::HeaderMismatch: return tolvex_HeaderMismatch;
        case Error::InvalidCharacter: return tolvex_InvalidCharacter;
        case Error::InvalidEnumTag: return tolvex_InvalidEnumTag;
        case Error::InvalidNumber: return tolvex_InvalidNumber;
        case Error::IsDir: return tolvex_IsDir;
        case Error::LengthMismatch: return tolvex_LengthMismatch;
        case Error::MalformedPolicyDefinition: return tolvex_MalformedPolicyDefinition;
        case Error::MissingField: return tolvex_MissingField;
        case Error::NameTooLong: return tolvex_NameTooLong;
        case Error::NetworkNotFound: return tolvex_NetworkNotFound;
        case Error::NoDevice: return tolvex_NoDevice;
        case Error::NoSpaceLeft: return tolvex_NoSpaceLeft;
        case Error::NotDir: return tolvex_NotDir;
        case Error::OutOfMemory: return tolvex_OutOfMemory;
        case Error::Overflow: return tolvex_Overflow;
        case Error::PathAlreadyExists: return tolvex_PathAlreadyExists;
        case Error::PermissionDenied: return tolvex_PermissionDenied;
        case Error::PipeBusy: return tolvex_PipeBusy;
        case Error::ProcessFdQuotaExceeded: return tolvex_ProcessFdQuotaExceeded;
        case Error::ReadFailed: return tolvex_ReadFailed;
        case Error::ReadOnlyFileSystem: return tolvex_ReadOnlyFileSystem;
        case Error::SymLinkLoop: return tolvex_SymLinkLoop;
        case Error::SyntaxError: return tolvex_SyntaxError;
        case Error::SystemFdQuotaExceeded: return tolvex_SystemFdQuotaExceeded;
        case Error::SystemResources: return tolvex_SystemResources;
        case Error::Unexpected: return tolvex_Unexpected;
        case Error::UnexpectedEndOfInput: return tolvex_UnexpectedEndOfInput;
        case Error::UnexpectedToken: return tolvex_UnexpectedToken;
        case Error::UnknownField: return tolvex_UnknownField;
        case Error::UnsupportedLayerType: return tolvex_UnsupportedLayerType;
        case Error::ValueTooLong: return tolvex_ValueTooLong;
        case Error::WeightsBiasesMismatch: return tolvex_WeightsBiasesMismatch;
        case Error::WouldBlock: return tolvex_WouldBlock;
        case Error::WriteFailed: return tolvex_WriteFailed;
        case Error::WrongLayerSize: return tolvex_WrongLayerSize;
        case Error::WrongNumberOfWeights: return tolvex_WrongNumberOfWeights;
    }
    // Unreachable for a valid enumerator; keeps -Wreturn-type quiet.
    __builtin_unreachable();
}

}  // namespace tolvex
