#include "toolkit/Component.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

using TLog = std::vector<std::string>;

// Logs "~X" when destroyed ("~X@O" while still owned by O) and "X<-Y-" / "X<-Y+" for every
// notification about another component. Watches one component the way observers do: it asks
// for a free notification and drops its reference on opRemove.
class TProbe : public TComponent {
public:
    TProbe(TComponent* AOwner, const std::string& AName, TLog& ALog)
        : TComponent(AOwner), FLog(ALog) {
        SetName(AName);
    }
    ~TProbe() override {
        FLog.push_back("~" + Name() + (Owner() ? "@" + Owner()->Name() : std::string()));
        BeforeDestruction();
    }

    void Watch(TComponent* AComponent) {
        Watched = AComponent;
        AComponent->FreeNotification(this);
    }

    TComponent* Watched = nullptr;
    std::function<void(TComponent*, TOperation)> OnNotification;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        if (AComponent != this)
            FLog.push_back(Name() + "<-" + AComponent->Name() +
                           (Operation == opRemove ? "-" : "+"));
        if (Operation == opRemove && AComponent == Watched)
            Watched = nullptr;
        if (OnNotification)
            OnNotification(AComponent, Operation);
        TComponent::Notification(AComponent, Operation);
    }

private:
    TLog& FLog;
};

// The table of create/destroy orders. Each scenario builds its components, clears the log,
// runs its action and compares the log; `check` looks at what survives.
struct Scenario {
    const char* name;
    std::function<void(std::map<std::string, TProbe*>&, TLog&)> build;
    std::function<void(std::map<std::string, TProbe*>&)> act;
    TLog expected;
    std::function<void(std::map<std::string, TProbe*>&)> check;
};

TEST(ComponentTest, CreateAndDestroyOrders) {
    const auto make = [](std::map<std::string, TProbe*>& c, TLog& log, const char* name,
                         const char* owner) {
        c[name] = new TProbe(owner ? c.at(owner) : nullptr, name, log);
    };
    const Scenario scenarios[] = {
        {"owner destroys what it owns, last first, each out of the list before it goes",
         [&](auto& c, TLog& log) {
             make(c, log, "O", nullptr);
             make(c, log, "A", "O");
             make(c, log, "B", "O");
             make(c, log, "C", "O");
         },
         [](auto& c) { delete c["O"]; },
         {"~O", "O<-C-", "B<-C-", "A<-C-", "~C", "O<-B-", "A<-B-", "~B", "O<-A-", "~A"},
         nullptr},
        {"a component destroyed directly leaves its owner, who tells the siblings",
         [&](auto& c, TLog& log) {
             make(c, log, "O", nullptr);
             make(c, log, "A", "O");
             make(c, log, "B", "O");
             make(c, log, "C", "O");
         },
         [](auto& c) { delete c["B"]; },
         {"~B@O", "O<-B-", "C<-B-", "A<-B-"},
         [](auto& c) {
             ASSERT_EQ(c["O"]->ComponentCount(), 2);
             EXPECT_EQ(c["O"]->Components(0), c["A"]);
             EXPECT_EQ(c["O"]->Components(1), c["C"]);
             delete c["O"];
         }},
        {"the watched component goes first: the watcher is told and drops it",
         [&](auto& c, TLog& log) {
             make(c, log, "X", nullptr);
             make(c, log, "Y", nullptr);
             c["Y"]->Watch(c["X"]);
         },
         [](auto& c) { delete c["X"]; },
         {"~X", "Y<-X-"},
         [](auto& c) {
             EXPECT_EQ(c["Y"]->Watched, nullptr);
             delete c["Y"]; // must not reach the deleted X
         }},
        {"the watcher goes first: the watched one is told too and forgets it",
         [&](auto& c, TLog& log) {
             make(c, log, "X", nullptr);
             make(c, log, "Y", nullptr);
             c["Y"]->Watch(c["X"]);
         },
         [](auto& c) {
             delete c["Y"];
             delete c["X"];
         },
         {"~Y", "X<-Y-", "~X"},
         nullptr},
        {"a withdrawn request is not answered",
         [&](auto& c, TLog& log) {
             make(c, log, "X", nullptr);
             make(c, log, "Y", nullptr);
             c["Y"]->Watch(c["X"]);
             c["X"]->RemoveFreeNotification(c["Y"]);
         },
         [](auto& c) {
             delete c["X"];
             delete c["Y"];
         },
         {"~X", "~Y"},
         nullptr},
        {"asking twice is answered once",
         [&](auto& c, TLog& log) {
             make(c, log, "X", nullptr);
             make(c, log, "Y", nullptr);
             c["Y"]->Watch(c["X"]);
             c["Y"]->Watch(c["X"]);
         },
         [](auto& c) {
             delete c["X"];
             delete c["Y"];
         },
         {"~X", "Y<-X-", "~Y"},
         nullptr},
        {"across owners: the owner's destruction reaches the watcher on another form",
         [&](auto& c, TLog& log) {
             make(c, log, "F1", nullptr);
             make(c, log, "P", "F1");
             make(c, log, "F2", nullptr);
             make(c, log, "T", "F2");
             c["T"]->Watch(c["P"]);
         },
         [](auto& c) { delete c["F1"]; },
         {"~F1", "F1<-P-", "~P", "T<-P-"},
         [](auto& c) {
             EXPECT_EQ(c["T"]->Watched, nullptr);
             delete c["F2"];
         }},
        {"siblings hear of each other through the owner, once",
         [&](auto& c, TLog& log) {
             make(c, log, "O", nullptr);
             make(c, log, "P", "O");
             make(c, log, "T", "O");
             c["T"]->Watch(c["P"]);
         },
         [](auto& c) { delete c["P"]; },
         {"~P@O", "O<-P-", "T<-P-"},
         [](auto& c) {
             EXPECT_EQ(c["T"]->Watched, nullptr);
             delete c["O"];
         }},
        {"moving to another owner: the old owner sees it leave, the new one arrive",
         [&](auto& c, TLog& log) {
             make(c, log, "O1", nullptr);
             make(c, log, "O2", nullptr);
             make(c, log, "A", "O1");
         },
         [](auto& c) { c["O2"]->InsertComponent(c["A"]); },
         {"O1<-A-", "O2<-A+"},
         [](auto& c) {
             EXPECT_EQ(c["A"]->Owner(), c["O2"]);
             EXPECT_EQ(c["O1"]->ComponentCount(), 0);
             delete c["O1"];
             delete c["O2"];
         }},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        TLog log;
        std::map<std::string, TProbe*> c;
        s.build(c, log);
        log.clear();
        s.act(c);
        EXPECT_EQ(log, s.expected);
        if (s.check)
            s.check(c);
    }
}

// A subject whose observers call back into it while it is destroyed (a port whose observers
// unregister their links on opRemove): BeforeDestruction in its destructor keeps it whole.
class TSubject : public TComponent {
public:
    using TComponent::TComponent;
    ~TSubject() override { BeforeDestruction(); }
    void Register(TComponent* c) { FObservers->push_back(c); }
    void Unregister(TComponent* c) {
        FObservers->erase(std::remove(FObservers->begin(), FObservers->end(), c),
                          FObservers->end());
    }
    std::size_t ObserverCount() const { return FObservers->size(); }

private:
    std::unique_ptr<std::vector<TComponent*>> FObservers =
        std::make_unique<std::vector<TComponent*>>();
};

TEST(ComponentTest, ObserversMayCallBackIntoTheSubjectBeingDestroyed) {
    TLog log;
    auto* form = new TProbe(nullptr, "Form", log);
    auto* subject = new TSubject(form);
    subject->SetName("Port");
    TProbe observers[] = {{nullptr, "Led", log}, {nullptr, "Term", log}};
    for (auto& o : observers) {
        o.Watch(subject);
        subject->Register(&o);
        o.OnNotification = [&o, subject](TComponent* c, TOperation op) {
            if (op == opRemove && c == subject)
                subject->Unregister(&o);
        };
    }
    EXPECT_EQ(subject->ObserverCount(), 2u);
    delete form;
    for (auto& o : observers)
        EXPECT_EQ(o.Watched, nullptr);
}

// Also when the application's exception handler raises in turn: destruction goes on (the
// handler's own exception goes to stderr) instead of ending the program.
TEST(ComponentTest, DestructionStateReachesOwnedComponentsAndAFaultyHandlerDoesNotStopIt) {
    for (const bool handlerRaises : {false, true}) {
        SCOPED_TRACE(handlerRaises ? "the exception handler raises" : "a plain handler");
        TLog log;
        std::vector<std::string> seen;
        auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
            seen.push_back(e.what());
            if (handlerRaises)
                throw Exception("the handler failed too");
        });
        auto* owner = new TProbe(nullptr, "O", log);
        auto* a = new TProbe(owner, "A", log);
        auto* b = new TProbe(owner, "B", log);
        bool destroyingSeen = false;
        a->OnNotification = [&](TComponent*, TOperation op) {
            if (op == opRemove) {
                destroyingSeen = a->Destroying();
                throw Exception("handler failed");
            }
        };
        (void)b;
        log.clear();
        delete owner;
        SetApplicationExceptionHandler(std::move(previous));
        EXPECT_TRUE(destroyingSeen);
        // B's removal told A (which raised), then A went too: nothing left half done.
        EXPECT_EQ(log, (TLog{"~O", "O<-B-", "A<-B-", "~B", "O<-A-", "~A"}));
        EXPECT_FALSE(seen.empty());
    }
}

TEST(ComponentTest, NamesAreUniqueAmongSiblingsAndFoundWithoutCase) {
    TLog log;
    TProbe owner(nullptr, "Form1", log);
    auto* port = new TProbe(&owner, "ComPort1", log);
    auto* other = new TProbe(&owner, "", log);
    EXPECT_EQ(owner.FindComponent("comport1"), port);
    EXPECT_EQ(owner.FindComponent("missing"), nullptr);
    EXPECT_EQ(owner.FindComponent(""), nullptr);
    EXPECT_THROW(other->SetName("COMPORT1"), EComponentError);
    EXPECT_EQ(other->Name(), "");
    EXPECT_NO_THROW(port->SetName("ComPort1"));
    EXPECT_NO_THROW(other->SetName("ComPort2"));
    TProbe stray(nullptr, "ComPort2", log);
    EXPECT_THROW(owner.InsertComponent(&stray), EComponentError);
    EXPECT_EQ(stray.Owner(), nullptr);
    EXPECT_THROW(owner.Components(2), EListError);
    EXPECT_THROW(owner.Components(-1), EListError);
}

class TLoadProbe : public TComponent {
public:
    using TComponent::TComponent;
    void Loaded() override {
        TComponent::Loaded();
        LoadingInLoaded = Loading();
        ++LoadedCalls;
    }
    bool LoadingInLoaded = true;
    int LoadedCalls = 0;
};

TEST(ComponentTest, LoadingAndDesigningStates) {
    TLoadProbe owner(nullptr);
    auto* child = new TLoadProbe(&owner);
    EXPECT_TRUE(owner.ComponentState().empty());

    owner.BeginLoading();
    EXPECT_TRUE(owner.Loading());
    EXPECT_TRUE(owner.ComponentState().contains(csLoading));
    EXPECT_FALSE(child->Loading());
    owner.Loaded();
    EXPECT_FALSE(owner.Loading());
    EXPECT_FALSE(owner.LoadingInLoaded);
    EXPECT_EQ(owner.LoadedCalls, 1);

    owner.SetDesigning(true);
    EXPECT_TRUE(owner.Designing());
    EXPECT_TRUE(child->Designing());
    owner.SetDesigning(false);
    EXPECT_FALSE(child->ComponentState().contains(csDesigning));
}

} // namespace
} // namespace zv
