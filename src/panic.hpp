// Internal failure of native code: a broken expectation that ends the
// current operation. It carries the exact message that Python callers see
// and the place it was raised, for the diagnostic on standard error.
// Native code throws it; the call boundary turns it into PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace nuvek {

class Panic : public std::exception {
public:
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

    // Context added on the way out (which file, record, position or line),
    // shown to Python callers as a note on the exception; the message
    // itself never changes. Empty when there is none.
    const std::string& note() const noexcept { return note_; }
    void set_note(std::string note) { note_ = std::move(note); }

private:
    std::string message_;
    std::source_location where_;
    std::string note_;
};

// The message of an unwrapped empty optional, used wherever a value that
// must be present is missing.
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
// Prefix of the message of an unwrapped failed result; the error's
// description follows it.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";

}  // namespace nuvek
