// TComponent: the base of every component: an owner that destroys it, a name, the component
// states and the free-notification protocol by which components that refer to each other learn
// that one of them goes away.
//
// Ownership: `new TFoo(owner)` inserts the new component into owner's list; the owner destroys
// what it owns, last inserted first, each one taken out of the owner's list (with opRemove sent
// to the owner and, through the default Notification, to the owner's other components) before
// it is deleted. A component without an owner is destroyed by whoever created it.
//
// Destruction: a C++ destructor runs the derived classes' destructors before ~TComponent, so
// anything sent from ~TComponent would reach observers after the derived part is gone. A class
// whose observers call back into it while handling opRemove (a port whose observers unregister
// their links) therefore calls BeforeDestruction() at the top of its own destructor, after what
// must still reach its observers (Close) and before it frees its own members. ~TComponent calls
// BeforeDestruction() itself when no derived destructor did.
//
// Threads: components belong to the thread that creates them (the main thread); none of these
// operations lock.
#pragma once

#include "toolkit/Persistent.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : std::uint8_t {
    csLoading,    // properties are being read (BeginLoading ... Loaded)
    csDesigning,  // the component is being edited in a designer: it only records settings
    csDestroying, // BeforeDestruction has begun
};

// A set of TComponentStateFlag, bit i for the flag of ordinal i.
class TComponentState {
public:
    constexpr TComponentState() noexcept = default;
    constexpr bool contains(TComponentStateFlag flag) const noexcept {
        return (FBits & BitOf(flag)) != 0;
    }
    constexpr TComponentState& insert(TComponentStateFlag flag) noexcept {
        FBits = static_cast<std::uint8_t>(FBits | BitOf(flag));
        return *this;
    }
    constexpr TComponentState& erase(TComponentStateFlag flag) noexcept {
        FBits = static_cast<std::uint8_t>(FBits & ~BitOf(flag));
        return *this;
    }
    constexpr bool empty() const noexcept { return FBits == 0; }
    constexpr std::uint8_t Bits() const noexcept { return FBits; }
    friend constexpr bool operator==(TComponentState, TComponentState) noexcept = default;

private:
    static constexpr std::uint8_t BitOf(TComponentStateFlag flag) noexcept {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(flag));
    }
    std::uint8_t FBits = 0;
};

class TComponent : public TPersistent {
public:
    // Inserts the new component into AOwner's list (opInsert to the owner), when AOwner is set.
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;

    // Runs the destruction protocol while the whole object still exists, once (later calls do
    // nothing): sets csDestroying on this component and, recursively, on what it owns; sends
    // Notification(this, opRemove) to every component on its free-notification list (each is
    // taken off the list, and this one off theirs, before it is called); destroys the owned
    // components, last inserted first; finally leaves its owner (opRemove to the owner and its
    // components).
    void BeforeDestruction();

    const std::string& Name() const noexcept { return FName; }
    // A non-empty name must be unique among the components of the same owner (compared without
    // regard to ASCII case); a duplicate raises EComponentError and leaves the name unchanged.
    void SetName(const std::string& NewName);

    TComponent* Owner() const noexcept { return FOwner; }
    int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
    // The owned component at Index (insertion order); EListError when out of range.
    TComponent* Components(int Index) const;
    // The owned component with this name (ASCII case ignored), or nullptr.
    TComponent* FindComponent(const std::string& AName) const;

    // Makes this component the owner of AComponent (leaving its previous owner first) and sends
    // Notification(AComponent, opInsert). RemoveComponent sends Notification(AComponent,
    // opRemove) and then takes it out of the list; AComponent then has no owner.
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    // Destroys every owned component, last inserted first, each removed from the list first.
    void DestroyComponents();

    TComponentState ComponentState() const noexcept { return FComponentState; }
    bool Loading() const noexcept { return FComponentState.contains(csLoading); }
    bool Designing() const noexcept { return FComponentState.contains(csDesigning); }
    bool Destroying() const noexcept { return FComponentState.contains(csDestroying); }

    // The loading protocol of code that restores a component's settings: BeginLoading() sets
    // csLoading (setters then only store values), the settings are written, and Loaded() ends
    // the state and lets the component act on what was stored. Overrides of Loaded call the base
    // first.
    void BeginLoading() noexcept { FComponentState.insert(csLoading); }
    virtual void Loaded();
    // Sets or clears csDesigning on this component and, recursively, on what it owns.
    void SetDesigning(bool Value);

    // Asks AComponent and this component to tell each other when one of them is destroyed
    // (Notification(x, opRemove)). Components with the same owner are told through the owner
    // already, so nothing is recorded for them. Asking twice records once.
    void FreeNotification(TComponent* AComponent);
    // Withdraws the request in both directions.
    void RemoveFreeNotification(TComponent* AComponent);

protected:
    // A component was inserted into or is being removed from this component's family, or a
    // component on the free-notification list is being destroyed. The default forgets
    // AComponent's free-notification entry on opRemove and passes the notification on to every
    // owned component. Overrides drop their references to AComponent on opRemove and call the
    // base.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void SetDestroyingFlag() noexcept;
    void RemoveFreeNotifications();
    void Remove(TComponent* AComponent) noexcept;
    void ForgetFreeNotify(TComponent* AComponent) noexcept;
    void NotifyQuietly(TComponent* AComponent, TOperation Operation) noexcept;

    TComponent* FOwner = nullptr;
    std::string FName;
    std::vector<TComponent*> FComponents;   // owned, insertion order
    std::vector<TComponent*> FFreeNotifies; // mutual: each entry lists this one too
    TComponentState FComponentState;
    bool FDestructionDone = false;
};

} // namespace zv
