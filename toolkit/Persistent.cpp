#include "toolkit/Persistent.h"

#include "toolkit/Exception.h"

namespace zv {

void TPersistent::Assign(TPersistent* Source) {
    if (Source == nullptr)
        AssignError(nullptr);
    Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) {
    Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
    const std::string sourceName = Source ? Source->ClassName() : std::string("nil");
    throw EConvertError("Cannot assign a " + sourceName + " to a " + ClassName());
}

} // namespace zv
