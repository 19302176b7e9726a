// Which platform-specific fast paths a build may use. Every fast path that
// relies on one processor family (its vector instructions, x87 extended
// precision, inline assembly) is written as
//     #if NUVEK_X86_FAST_PATHS  ...fast path...  #else  ...portable...  #endif
// so that building with NUVEK_PORTABLE=ON runs on x86 exactly the code that
// every other platform runs, and the tests can prove it.
#pragma once

#if !defined(NUVEK_PORTABLE) && (defined(__x86_64__) || defined(__i386__))
#define NUVEK_X86_FAST_PATHS 1
#else
#define NUVEK_X86_FAST_PATHS 0
#endif
