// Descriptions of operating-system errors as they appear in failure
// messages, in two forms: "Os { code: C, kind: K, message: "T" }" (the
// top-hit file) and "T (os error C)" (the FASTA reader), where K names the
// kind of the error number and T is the C library's text for it.
#pragma once

#include <string>

namespace nuvek {

// "Os { code: C, kind: K, message: "T" }" for the system error number code.
std::string os_error_description(int code);

// "T (os error C)" for the system error number code.
std::string os_error_message(int code);

// The descriptions of the two failures that carry no error number: a path
// holding a NUL byte, and a write the system accepted no bytes of.
inline constexpr const char* kNulDescription =
    "Error { kind: InvalidInput, message: \"data provided contains a nul byte\" }";
inline constexpr const char* kWriteZeroDescription =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";

}  // namespace nuvek
