#include "toolkit/Component.h"

#include "toolkit/Exception.h"
#include "toolkit/Text.h"

#include <algorithm>

namespace zv {

namespace {

void eraseOne(std::vector<TComponent*>& list, TComponent* item) noexcept {
    const auto it = std::find(list.begin(), list.end(), item);
    if (it != list.end())
        list.erase(it);
}

} // namespace

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner != nullptr)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    BeforeDestruction();
}

void TComponent::BeforeDestruction() {
    if (FDestructionDone)
        return;
    FDestructionDone = true;
    SetDestroyingFlag();
    RemoveFreeNotifications();
    DestroyComponents();
    if (FOwner != nullptr) {
        FOwner->NotifyQuietly(this, opRemove);
        FOwner->Remove(this);
    }
}

// Destruction cannot be undone halfway: a handler that raises is reported to the application's
// exception handler and the protocol goes on, so no list keeps a pointer to a deleted object.
void TComponent::NotifyQuietly(TComponent* AComponent, TOperation Operation) noexcept {
    try {
        Notification(AComponent, Operation);
    } catch (...) {
        HandleCurrentExceptionQuietly();
    }
}

void TComponent::SetDestroyingFlag() noexcept {
    FComponentState.insert(csDestroying);
    for (TComponent* component : FComponents)
        component->SetDestroyingFlag();
}

// Each subscriber is taken off this component's list, and this component off the subscriber's,
// before the subscriber is told: whatever it does meanwhile finds no stale entry.
void TComponent::RemoveFreeNotifications() {
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        eraseOne(other->FFreeNotifies, this);
        other->NotifyQuietly(this, opRemove);
    }
}

void TComponent::SetName(const std::string& NewName) {
    if (NewName == FName)
        return;
    if (!NewName.empty() && FOwner != nullptr) {
        const TComponent* existing = FOwner->FindComponent(NewName);
        if (existing != nullptr && existing != this)
            throw EComponentError("A component named " + NewName + " already exists");
    }
    FName = NewName;
}

TComponent* TComponent::Components(int Index) const {
    if (Index < 0 || Index >= ComponentCount())
        throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
    return FComponents[static_cast<std::size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
    if (AName.empty())
        return nullptr;
    for (TComponent* component : FComponents)
        if (SameText(component->FName, AName))
            return component;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent->FOwner == this)
        return;
    if (!AComponent->FName.empty()) {
        const TComponent* existing = FindComponent(AComponent->FName);
        if (existing != nullptr)
            throw EComponentError("A component named " + AComponent->FName + " already exists");
    }
    if (AComponent->FOwner != nullptr)
        AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent->FOwner != this)
        return;
    Notification(AComponent, opRemove);
    Remove(AComponent);
}

void TComponent::Remove(TComponent* AComponent) noexcept {
    eraseOne(FComponents, AComponent);
    AComponent->FOwner = nullptr;
}

void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* instance = FComponents.back();
        NotifyQuietly(instance, opRemove);
        Remove(instance);
        delete instance;
    }
}

void TComponent::Loaded() {
    FComponentState.erase(csLoading);
}

void TComponent::SetDesigning(bool Value) {
    if (Value)
        FComponentState.insert(csDesigning);
    else
        FComponentState.erase(csDesigning);
    for (TComponent* component : FComponents)
        component->SetDesigning(Value);
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent == this)
        return;
    if (FOwner != nullptr && AComponent->FOwner == FOwner)
        return; // siblings hear of each other through their owner
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) != FFreeNotifies.end())
        return;
    FFreeNotifies.push_back(AComponent);
    AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr)
        return;
    ForgetFreeNotify(AComponent);
}

void TComponent::ForgetFreeNotify(TComponent* AComponent) noexcept {
    eraseOne(FFreeNotifies, AComponent);
    eraseOne(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent != nullptr)
        ForgetFreeNotify(AComponent);
    // Walk from the end; a handler may destroy or remove components meanwhile, so the index is
    // clamped to the list as it is after each call.
    auto i = static_cast<std::ptrdiff_t>(FComponents.size()) - 1;
    while (i >= 0) {
        FComponents[static_cast<std::size_t>(i)]->Notification(AComponent, Operation);
        --i;
        const auto count = static_cast<std::ptrdiff_t>(FComponents.size());
        if (i >= count)
            i = count - 1;
    }
}

} // namespace zv
