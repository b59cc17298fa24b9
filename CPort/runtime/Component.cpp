#include "CPort/runtime/Component.h"

#include <algorithm>

namespace CPort {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->InsertComponent(this);
}

TComponent::~TComponent() {
  // Each notified component forgets this one in its own Notification; work on
  // a copy because that may call back into RemoveFreeNotification.
  const auto notifies = freeNotifies_;
  for (TComponent* c : notifies) c->Notification(this, TOperation::opRemove);
  freeNotifies_.clear();
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  auto& list = other->freeNotifies_;
  if (std::find(list.begin(), list.end(), this) == list.end()) list.push_back(this);
  // Both directions, so that whichever dies first leaves no dangling entry.
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
    freeNotifies_.push_back(other);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  std::erase(other->freeNotifies_, this);
  std::erase(freeNotifies_, other);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove) std::erase(freeNotifies_, component);
}

void TComponent::InsertComponent(TComponent* child) { components_.push_back(child); }

void TComponent::RemoveComponent(TComponent* child) { std::erase(components_, child); }

}  // namespace CPort
