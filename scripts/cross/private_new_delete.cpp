// The global allocation functions, defined in the macOS extension modules
// that scripts/cross.sh links with zig, so that the module keeps them
// private. zig links its own C++ runtime into the module statically, whose
// operator new and delete are declared with default visibility, and its
// Mach-O linker ignores export lists; the module would then export them and
// take over the allocation of any library that binds to them first.
// Compiled with -fvisibility-global-new-delete=force-hidden (see
// scripts/cross.mk), these definitions are hidden and the runtime's are
// never pulled in. A build on macOS links Apple's shared C++ runtime and
// needs none of this.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  for (;;) {
    void* block = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
      block = std::malloc(size);
    } else if (posix_memalign(&block, alignment, size) != 0) {
      block = nullptr;
    }
    if (block != nullptr) return block;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

// As allocate, but null where that would throw.
void* allocate_or_null(std::size_t size, std::size_t alignment) noexcept {
  try {
    return allocate(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::size_t bytes(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 1); }
void* operator new[](std::size_t size) { return allocate(size, 1); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, bytes(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate(size, bytes(alignment));
}
// The nothrow forms too (std::stable_sort asks for memory so): the
// runtime's definitions of them sit in one object with all the others,
// which would come back with them.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, 1);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, bytes(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, bytes(alignment));
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
