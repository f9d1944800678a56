// SPDX-License-Identifier: MIT
// Starting threads on stacks of the program's own.
#include "system/threads.h"

#include <sys/mman.h>

namespace
{

void* run(void* thread)
{
    static_cast<program_thread*>(thread)->work();
    return nullptr;
}

} // namespace

std::unique_ptr<program_thread> start_thread(std::function<void()> work, memory_budget* budget)
{
    std::unique_ptr<program_thread> thread;
    try {
        thread = std::make_unique<program_thread>();
        thread->work = std::move(work);
        thread->share = budget_share(budget);
        resize(thread->share, thread_mapping_bytes - sanitizer_stack_bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    void* mapped = mmap(nullptr, thread_mapping_bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    mprotect(mapped, page_bytes, PROT_NONE);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, static_cast<char*>(mapped) + page_bytes,
                          thread_mapping_bytes - page_bytes);
    const int failed = pthread_create(&thread->id, &attributes, run, thread.get());
    pthread_attr_destroy(&attributes);
    if (failed) {
        munmap(mapped, thread_mapping_bytes);
        return nullptr;
    }
    thread->mapped = mapped;
    return thread;
}

void join_thread(program_thread& thread)
{
    pthread_join(thread.id, nullptr);
    munmap(thread.mapped, thread_mapping_bytes);
    thread.mapped = nullptr;
}
