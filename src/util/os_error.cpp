#include "util/os_error.hpp"

#include <cerrno>
#include <cstring>

#include "util/quote.hpp"

namespace nuvek {
namespace {

// The name of the error kind of a system error number ("NotFound",
// "PermissionDenied", ...; "Other" for numbers without a kind of their own).
const char* error_kind_name(int code) {
    switch (code) {
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EEXIST: return "AlreadyExists";
        case EISDIR: return "IsADirectory";
        case ENOTDIR: return "NotADirectory";
        case ENOSPC: return "StorageFull";
        case EROFS: return "ReadOnlyFilesystem";
        case EFBIG: return "FileTooLarge";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case ELOOP: return "FilesystemLoop";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EAGAIN: return "WouldBlock";
        case EBUSY: return "ResourceBusy";
        case ETXTBSY: return "ExecutableFileBusy";
        case EXDEV: return "CrossesDevices";
        case EMLINK: return "TooManyLinks";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case EPIPE: return "BrokenPipe";
        case ENOMEM: return "OutOfMemory";
        case ENOSYS: return "Unsupported";
        case ETIMEDOUT: return "TimedOut";
        case EDEADLK: return "Deadlock";
        case E2BIG: return "ArgumentListTooLong";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case ECONNABORTED: return "ConnectionAborted";
        case ENOTCONN: return "NotConnected";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINPROGRESS: return "InProgress";
        default: return "Other";
    }
}

// strerror_r comes in a GNU form (returns the text) and a POSIX form (fills
// the buffer, returns 0 or an error number); these pick the text from
// either, or nothing when the POSIX form failed without filling the buffer.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int result, const char* buf) {
    return result == 0 || buf[0] != '\0' ? buf : nullptr;
}

// The C library's text for an error number.
std::string error_text(int code) {
    char buf[256] = {};
    const char* text = strerror_result(strerror_r(code, buf, sizeof buf), buf);
    if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
    return text;
}

}  // namespace

std::string os_error_description(int code) {
    return "Os { code: " + std::to_string(code) + ", kind: " + error_kind_name(code) +
           ", message: " + quote_str(error_text(code)) + " }";
}

std::string os_error_message(int code) { return error_text(code) + " (os error " + std::to_string(code) + ")"; }

}  // namespace nuvek
