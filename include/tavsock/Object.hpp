// Base of every public class of the library.
//
// Objects are reference counted through std::shared_ptr; the end of the last reference is the
// object's terminate step (its destructor). Objects belong to the thread that created them and
// are not safe to use from other threads.
#pragma once

#include <memory>
#include <string>

namespace tav {

class Object : public std::enable_shared_from_this<Object> {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() = default;

    /// The class name, e.g. "TAVSocket"; used in error sources and debug-log texts.
    virtual std::string TypeName() const = 0;

protected:
    /// shared_from_this() already cast to the derived type.
    template <class T>
    std::shared_ptr<T> SharedFromThisAs() {
        return std::static_pointer_cast<T>(shared_from_this());
    }
    template <class T>
    std::weak_ptr<T> WeakFromThisAs() {
        return SharedFromThisAs<T>();
    }
};

using ObjectPtr = std::shared_ptr<Object>;

}  // namespace tav
