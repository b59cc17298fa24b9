// TComponent: the small component base the port and its selectors build on:
// an owner that destroys its components, a name, a loading flag that is set
// while a layout is applied, and free-notification.
//
// Thread safety: none; components belong to the main thread.
#pragma once

#include <string>
#include <vector>

namespace CPort {

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  // Tells every component that asked for it (FreeNotification) that this one
  // goes away, then destroys the components it owns, newest first.
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // Loading: from BeginLoading until FinishLoading.
  bool Loading() const { return loading_; }
  void BeginLoading() { loading_ = true; }
  // Called once the layout has been applied; derived classes extend it and
  // call the base first.
  virtual void FinishLoading() { loading_ = false; }

  // Ask to be told (through Notification) when `other` is destroyed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void InsertComponent(TComponent* child);
  void RemoveComponent(TComponent* child);

  TComponent* owner_;
  std::string name_;
  bool loading_ = false;
  std::vector<TComponent*> components_;   // owned
  std::vector<TComponent*> freeNotifies_;  // told when this one is destroyed
};

}  // namespace CPort
