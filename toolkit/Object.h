// The root of the component class tree.
#pragma once

#include <functional>
#include <string>

namespace zv {

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    // The class name as written in the source ("TComParity"), for messages.
    std::string ClassName() const;
};

// The plain notification event: who raised it. May be empty; raise it only when assigned.
using TNotifyEvent = std::function<void(TObject* Sender)>;

} // namespace zv
