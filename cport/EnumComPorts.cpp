#include "cport/EnumComPorts.h"

#include "cport/ComError.h"
#include "platform/win32.h"

#include <algorithm>
#include <string>
#include <vector>

namespace zv {

namespace {

// Closes a registry key when the scope ends.
class TKeyHolder {
public:
    TKeyHolder() = default;
    ~TKeyHolder() {
        if (FKey != nullptr)
            RegCloseKey(FKey);
    }
    TKeyHolder(const TKeyHolder&) = delete;
    TKeyHolder& operator=(const TKeyHolder&) = delete;
    HKEY* Out() noexcept { return &FKey; }
    HKEY Get() const noexcept { return FKey; }

private:
    HKEY FKey = nullptr;
};

// The user locale's text order, ignoring case.
bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

} // namespace

void EnumComPorts(TStrings* List) {
    TKeyHolder key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                                key.Out());
    if (result != ERROR_SUCCESS)
        throw EComPort(CError_RegistryFailed, result);

    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        result = RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            throw EComPort(CError_RegistryFailed, result);
        // The data is the port name, usually with its terminating zero byte.
        std::size_t length = std::min<std::size_t>(dataSize, sizeof data);
        const auto* end = std::find(data, data + length, BYTE{0});
        names.emplace_back(reinterpret_cast<const char*>(data),
                           static_cast<std::size_t>(end - data));
    }
    std::stable_sort(names.begin(), names.end(), LessIgnoringCase);

    if (List == nullptr)
        return;
    List->BeginUpdate();
    try {
        List->Clear();
        for (const std::string& port : names)
            List->Add(port);
    } catch (...) {
        List->EndUpdate();
        throw;
    }
    List->EndUpdate();
}

} // namespace zv
