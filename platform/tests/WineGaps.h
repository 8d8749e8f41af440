// Wine runs the Windows test programs in CI. Its serial emulation differs from Windows in a few
// places; a test that depends on one of them skips under Wine and names the difference, so the
// gap shows in every run instead of passing or failing for the wrong reason.
#pragma once

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace zv::test {

// True when the program runs under Wine (its ntdll exports wine_get_version; Windows' does not).
inline bool UnderWine() {
#ifdef _WIN32
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
#else
    return false;
#endif
}

} // namespace zv::test

// Skips the running test under Wine; `gap` says what Wine does differently.
#define ZV_SKIP_UNDER_WINE(gap)                                                                    \
    do {                                                                                           \
        if (::zv::test::UnderWine())                                                               \
            GTEST_SKIP() << "Wine's serial emulation: " << gap;                                    \
    } while (0)
