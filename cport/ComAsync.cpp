#include "cport/ComAsync.h"

#include "cport/ComError.h"

namespace zv {

void InitAsync(PAsync& AsyncPtr) {
    AsyncPtr = nullptr;
    auto record = std::make_unique<TAsync>();
    record->OverlappedRec.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (record->OverlappedRec.hEvent == nullptr)
        throw EComPort(CError_InvalidAsync, LastOsError());
    AsyncPtr = record.release();
}

void DoneAsync(PAsync& AsyncPtr) noexcept {
    if (AsyncPtr == nullptr)
        return;
    if (AsyncPtr->OverlappedRec.hEvent != nullptr)
        CloseHandle(AsyncPtr->OverlappedRec.hEvent);
    delete AsyncPtr;
    AsyncPtr = nullptr;
}

} // namespace zv
