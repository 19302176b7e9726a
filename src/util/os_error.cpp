#include "util/os_error.hpp"

#include <cerrno>
#include <cstring>

#include "util/quote.hpp"

namespace nuvek {

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

namespace {

// The C library's text for an error number, whichever strerror_r variant
// the library declares.
[[maybe_unused]] const char* strerror_result(int, const char* buf) { return buf; }
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }

}  // namespace

std::string os_error_description(int code) {
    char buf[256] = {};
    const char* text = strerror_result(strerror_r(code, buf, sizeof buf), buf);
    return "Os { code: " + std::to_string(code) + ", kind: " + error_kind_name(code) +
           ", message: " + quote_str(text) + " }";
}

}  // namespace nuvek
