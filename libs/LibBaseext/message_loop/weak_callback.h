// Tasks that run only while the object that made them still exists.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

class WeakFlag {};

template <typename F>
class WeakCallback {
 public:
  WeakCallback(std::weak_ptr<WeakFlag> flag, F f) : flag_(std::move(flag)), f_(std::move(f)) {}

  // Does nothing once the owner is gone. The owner must not be destroyed on another thread
  // while the call runs: owners stop the threads that run their callbacks first.
  template <typename... Args>
  void operator()(Args&&... args) const {
    if (flag_.lock()) f_(std::forward<Args>(args)...);
  }
  bool Expired() const { return flag_.expired(); }

 private:
  std::weak_ptr<WeakFlag> flag_;
  F f_;
};

class SupportWeakCallback {
 public:
  // The flag is made at construction, so that any thread may bind callbacks without a race.
  SupportWeakCallback() : weak_flag_(std::make_shared<WeakFlag>()) {}
  virtual ~SupportWeakCallback() = default;
  SupportWeakCallback(const SupportWeakCallback&) : weak_flag_(std::make_shared<WeakFlag>()) {}
  SupportWeakCallback& operator=(const SupportWeakCallback&) { return *this; }

  template <typename F>
  WeakCallback<std::decay_t<F>> ToWeakCallback(F&& f) const {
    return WeakCallback<std::decay_t<F>>(weak_flag_, std::forward<F>(f));
  }
  std::weak_ptr<WeakFlag> GetWeakFlag() const { return weak_flag_; }

 private:
  std::shared_ptr<WeakFlag> weak_flag_;
};
