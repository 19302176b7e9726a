#include "util/signals.hpp"

namespace nuvek {
namespace {

SignalHook hook = nullptr;

}  // namespace

void set_signal_hook(SignalHook h) noexcept { hook = h; }

void check_signals() {
    if (hook && !hook()) throw Interrupted{};
}

}  // namespace nuvek
