// For contract tests: run a piece of code on a kernel thread of a given name (the name a contract
// check's message reports), and the regular expression of that message's ending.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/kernel.h"

namespace torvex_test {

// Runs `body` on a kernel thread named `name` and deletes the thread once it has ended.
inline void RunOnKernelThread(const char* name, std::function<void()> body) {
  struct Job {
    std::function<void()> body;
    cyg_sem_t done;
  } job{std::move(body), {}};
  cyg_semaphore_init(&job.done, 0);
  cyg_thread thread;
  cyg_handle_t handle = 0;
  cyg_thread_create(
      10,
      [](cyg_addrword_t data) {
        auto* j = reinterpret_cast<Job*>(data);
        j->body();
        cyg_semaphore_post(&j->done);
      },
      reinterpret_cast<cyg_addrword_t>(&job), name, nullptr, 0, &handle, &thread);
  cyg_thread_resume(handle);
  cyg_semaphore_wait(&job.done);
  cyg_thread_delete(handle);
  cyg_semaphore_destroy(&job.done);
}

// The ending of a contract message: the calling thread by name.
inline std::string ByThread(const std::string& name) { return "\\(thread \"" + name + "\", id [0-9]+\\)"; }

}  // namespace torvex_test
