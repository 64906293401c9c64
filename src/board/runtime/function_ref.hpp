// A callable passed down a call and called during it: a pointer to it and one function to call
// it through. std::function would own a copy, which no such parameter needs, at a few hundred
// bytes of the board's binaries for every kind of callable given. Never keep one past the
// call it was given to.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace tune {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
           std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& callable)  // NOLINT: as a std::function parameter takes a lambda
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace tune
