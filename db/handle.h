// A handle that is absent until first used: any use of an absent handle
// creates a fresh, unopened object; release() empties it again.
#pragma once

#include <memory>

namespace trellick::db {

template <class T>
class Handle {
 public:
  T* operator->() { return &get(); }
  T& operator*() { return get(); }
  T& get() {
    if (!p_) p_ = std::make_unique<T>();
    return *p_;
  }
  bool present() const { return p_ != nullptr; }
  void release() { p_.reset(); }
  void reset(std::unique_ptr<T> p) { p_ = std::move(p); }

 private:
  std::unique_ptr<T> p_;
};

}  // namespace trellick::db
