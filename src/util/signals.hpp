// Pending signals during native work. Native code knows nothing of Python:
// the call boundary installs, once at import, a hook that runs the
// interpreter's pending signal handlers. Native code calls check_signals()
// after a system call fails with EINTR and between chunks of long work
// (every few MB or milliseconds); when a handler raised (Ctrl-C raising
// KeyboardInterrupt), the call unwinds with Interrupted, releasing every
// resource on the way, and the boundary lets the handler's exception
// propagate unchanged.
#pragma once

namespace nuvek {

// Thrown by check_signals() when a signal handler raised. Deliberately not
// derived from std::exception, so that no handler of native failures takes
// it for one.
struct Interrupted {};

// Runs pending signal handlers; returns false when one raised.
using SignalHook = bool (*)() noexcept;

// Installs the hook (once, at import, before any call can run).
void set_signal_hook(SignalHook hook) noexcept;

// Runs the pending signal handlers through the hook and throws Interrupted
// if one raised. Costs a load and a branch when no signal is pending; does
// nothing before a hook is installed.
void check_signals();

}  // namespace nuvek
