// One owner for every kind of C handle (descriptors, sockets, library objects): the kind's
// traits say what "none" is and how one is closed. Header-only, so any target may use it.
#ifndef PAL_UNIQUEHANDLE_H
#define PAL_UNIQUEHANDLE_H

namespace PAL {

// Traits: `Type`, `static Type invalid() noexcept`, `static void close(Type) noexcept`.
// Move-only; closes what it holds once, in a destructor that never throws.
template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Type owned) noexcept : handle(owned) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    explicit operator bool() const noexcept { return handle != Traits::invalid(); }
    Type get() const noexcept { return handle; }
    // Gives the handle up without closing it.
    Type release() noexcept {
        const Type given = handle;
        handle = Traits::invalid();
        return given;
    }
    // Closes what is held, then holds `replacement`.
    void reset(Type replacement = Traits::invalid()) noexcept {
        const Type old = handle;
        handle = replacement;
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }
    // For a call that hands a new handle out through a pointer: what was held is closed first.
    Type* put() noexcept {
        reset();
        return &handle;
    }

private:
    Type handle = Traits::invalid();
};

// A C library's object, a pointer that `Free` releases (null: none).
template <typename Pointer, auto Free>
struct PointerTraits {
    using Type = Pointer;
    static constexpr Type invalid() noexcept { return nullptr; }
    static void close(Type object) noexcept { Free(object); }
};
template <typename Pointer, auto Free>
using UniquePointer = UniqueHandle<PointerTraits<Pointer, Free>>;

} // namespace PAL

#endif // PAL_UNIQUEHANDLE_H
