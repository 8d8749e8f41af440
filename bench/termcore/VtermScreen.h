// libvterm's screen layer as the reference for the terminal's whole data path: a 24 x 80 screen
// with a damage callback (cell damage, its default) fed in blocks as a port delivers them.
#pragma once

#include <vterm.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zvbench {

struct VtermScreenTally {
    std::uint64_t damage = 0;
    std::uint64_t checksum = 0;
};

inline int OnVtermDamage(VTermRect Rect, void* User) {
    auto* tally = static_cast<VtermScreenTally*>(User);
    ++tally->damage;
    tally->checksum += static_cast<std::uint64_t>(Rect.start_col + Rect.start_row);
    return 1;
}

inline int OnVtermMoveRect(VTermRect Dest, VTermRect, void* User) {
    static_cast<VtermScreenTally*>(User)->checksum += static_cast<std::uint64_t>(Dest.start_row);
    return 1;
}

inline VtermScreenTally RunVtermScreen(const std::string& Stream, std::size_t BlockSize) {
    VTerm* vt = vterm_new(24, 80);
    vterm_set_utf8(vt, 0);
    VTermScreen* screen = vterm_obtain_screen(vt);
    static const VTermScreenCallbacks callbacks = {
        OnVtermDamage, OnVtermMoveRect, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    VtermScreenTally tally;
    vterm_screen_set_callbacks(screen, &callbacks, &tally);
    vterm_screen_reset(screen, 1);
    for (std::size_t at = 0; at < Stream.size(); at += BlockSize) {
        const std::size_t count = std::min(BlockSize, Stream.size() - at);
        vterm_input_write(vt, Stream.data() + at, count);
    }
    vterm_screen_flush_damage(screen);
    vterm_free(vt);
    return tally;
}

} // namespace zvbench
