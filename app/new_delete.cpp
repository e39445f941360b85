// Every C++ allocation of the program goes through the frame's allocator, so
// that running out of memory ends in the allocation report with the size
// asked for instead of an uncaught exception.
#include <cstdlib>
#include <new>

#include "app/frame.h"

void* operator new(std::size_t size) { return kada::allocate(size); }
void* operator new[](std::size_t size) { return kada::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { kada::release(p); }
void operator delete[](void* p) noexcept { kada::release(p); }
void operator delete(void* p, std::size_t) noexcept { kada::release(p); }
void operator delete[](void* p, std::size_t) noexcept { kada::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { kada::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { kada::release(p); }
