// The application frame: start-up order, window loading, event loop,
// shutdown, allocation and the fatal error report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "ui/window.h"

namespace kada {

// Where blocks come from. The default is the C heap; a test may put in one
// that refuses.
class Heap {
public:
    virtual ~Heap() = default;
    virtual void* alloc(std::size_t size) = 0;
    virtual void free(void* block) = 0;
};
void set_heap(Heap* heap);  // null: the C heap

// A new block, never null: when none can be had the allocation fatal report
// is made.
void* allocate(std::size_t size);
void release(void* block);  // null is ignored

// The one way to report an error; never returns. The process ends with 255
// after the box is closed, without the release routine.
[[noreturn]] void fatal_error(std::string_view message, std::int32_t code = 0);
[[noreturn]] void fatal_error_by_code(std::int32_t code);

struct Program {
    std::string_view template_data;
    std::uint32_t main_window = 0;             // the template loaded at start-up
    HandlerTable handlers;
    std::function<int()> startup_routine;       // its result is ignored
    std::function<void()> release_routine;      // run once at an orderly shutdown
    std::function<void()> unload_libraries;     // libraries the program loaded at run time
};

// Runs the program in the frame's order and gives the exit code.
int run_program(const Program& program);

// The window loaded from the template with this number, while it exists.
Window* loaded_window(std::uint32_t number);

}  // namespace kada
