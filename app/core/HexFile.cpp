#include "app/core/HexImage.h"

namespace zv {

HexLoadReport LoadHexFile(HANDLE file, HexImage& image) {
    HexLineLoader loader(image);
    for (;;) {
        // One byte per read: HEX files for the target are small, and a failing read is then
        // pinned to the line it happened in.
        std::uint8_t byte = 0;
        DWORD got = 0;
        if (!ReadFile(file, &byte, 1, &got, nullptr)) {
            loader.Fail(GetLastError());
            break;
        }
        if (got == 0)
            break; // end of file
        loader.Push(byte);
    }
    return loader.Finish();
}

} // namespace zv
