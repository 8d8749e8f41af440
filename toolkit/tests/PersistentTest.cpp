#include "toolkit/Persistent.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

class TApple : public TPersistent {
public:
    int Seeds = 0;

protected:
    void AssignTo(TPersistent* Dest) override {
        if (auto* apple = dynamic_cast<TApple*>(Dest)) {
            apple->Seeds = Seeds;
            return;
        }
        TPersistent::AssignTo(Dest);
    }
};

class TPear : public TPersistent {};

TEST(PersistentTest, AssignCopiesBetweenObjectsThatKnowEachOther) {
    TApple source, target;
    source.Seeds = 7;
    target.Assign(&source);
    EXPECT_EQ(target.Seeds, 7);
}

TEST(PersistentTest, AssignErrorNamesBothClassesAndLeavesTargetUnchanged) {
    struct Case {
        TPersistent* source;
        const char* message;
    };
    TPear pear;
    TApple target;
    target.Seeds = 3;
    const Case cases[] = {
        {&pear, "Cannot assign a TPear to a TApple"},
        {nullptr, "Cannot assign a nil to a TApple"},
    };
    for (const auto& c : cases) {
        try {
            target.Assign(c.source);
            ADD_FAILURE() << "no assign error for " << c.message;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(target.Seeds, 3);
    }
}

TEST(ExceptionTest, ApplicationHandlerIsReplaceableAndSeesTheMessage) {
    std::string seen;
    auto previous =
        SetApplicationExceptionHandler([&](const std::exception& e) { seen = e.what(); });
    try {
        throw Exception("port gone");
    } catch (...) {
        HandleCurrentException();
    }
    EXPECT_EQ(seen, "port gone");
    SetApplicationExceptionHandler(std::move(previous));
}

} // namespace
} // namespace zv
