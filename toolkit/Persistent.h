// Objects that can copy their state from another object of a compatible class.
#pragma once

#include "toolkit/Object.h"

namespace zv {

class TPersistent : public TObject {
public:
    // Copies Source into this object: Source->AssignTo(this). A null Source, or a pair of classes
    // that do not know each other, raises the assign error.
    virtual void Assign(TPersistent* Source);

protected:
    // Overridden by classes that know how to copy themselves into Dest; the base raises the
    // assign error "Cannot assign a <source class> to a <dest class>".
    virtual void AssignTo(TPersistent* Dest);
    [[noreturn]] void AssignError(const TPersistent* Source) const;
};

} // namespace zv
