#include "stack.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "internals.hpp"

#if defined(__x86_64__) && defined(__GLIBC__)
// On x86-64 glibc: the oldest versions of the two thread functions, which
// every glibc that the wheel's manylinux tag covers has (glibc 2.34 moved them
// from libpthread into libc and gave them new versions, keeping these).
// GLIBC_2.2.5 is the first symbol version of glibc on x86-64.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace ostrel {

namespace {

struct ThreadStack {
    int nested = 0; // runs of the module's functions now on this thread
    bool probed = false;
    // The running thread's own stack, [low, high); both 0 where unknown.
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    // Nested runs may not start below this; 0 where there is no such bound.
    std::uintptr_t floor = 0;

    // Set when an outermost run starts at `address`. Code running on a stack
    // other than the thread's own (as some coroutine libraries arrange) is
    // left to the recursion limit.
    void start_at(std::uintptr_t address)
    {
        floor = address >= low && address < high ? address - (address - low) / 8 : 0;
    }

    [[nodiscard]] bool exhausted(std::uintptr_t address) const { return address >= low && address < floor; }
};

[[gnu::tls_model("initial-exec")]] thread_local ThreadStack thread_stack;

// The running thread's stack, as the threads library knows it: the size it
// was created with, or the main thread's mapping under its limit.
void probe_stack(ThreadStack& stack)
{
    stack.probed = true;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* low = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (status == 0) {
        stack.low = reinterpret_cast<std::uintptr_t>(low);
        stack.high = stack.low + size;
    }
}

} // namespace

NestingScope::NestingScope(PyThreadState* thread)
{
    ThreadStack& stack = thread_stack;
    if (!stack.probed) {
        probe_stack(stack);
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (stack.nested == 0) {
        stack.start_at(here);
    }
    thread = thread ? thread : PyThreadState_Get();
    // As the interpreter enters a Python frame: the count goes down first, and
    // a count that was already used up refuses the run.
    int& depth_left = internals::python_depth_left(thread);
    if (depth_left-- <= 0 || stack.exhausted(here)) {
        ++depth_left;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return;
    }
    ++stack.nested;
    thread_ = thread;
}

void NestingScope::leave()
{
    if (thread_) {
        ++internals::python_depth_left(thread_);
        --thread_stack.nested;
        thread_ = nullptr;
    }
}

} // namespace ostrel
