#include "toolkit/Object.h"

#include <typeinfo>

#if defined(__GNUG__)
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#endif

namespace zv {

namespace {

// Strips namespaces and, on MSVC, the "class " prefix, so that names read as in the source.
std::string unqualified(std::string name) {
    if (name.rfind("class ", 0) == 0)
        name.erase(0, 6);
    const auto colon = name.rfind("::");
    if (colon != std::string::npos)
        name.erase(0, colon + 2);
    return name;
}

} // namespace

std::string TObject::ClassName() const {
    const char* raw = typeid(*this).name();
#if defined(__GNUG__)
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
    if (status == 0 && demangled)
        return unqualified(demangled.get());
#endif
    return unqualified(raw);
}

} // namespace zv
