#include "platform/worker_thread.h"

#include <chrono>
#include <system_error>

namespace tarvel {

namespace {
std::atomic<std::uint32_t> g_next_thread_id{1};
}

WorkerThread::~WorkerThread() {
  Close();
}

bool WorkerThread::Start(std::function<std::uint32_t()> body, bool fail_for_test) {
  if (thread_.joinable() || fail_for_test || !body) return false;
  // The new thread may ask whether it is this one before the constructor below has returned,
  // so it records its own identity first.
  shared_ = std::make_shared<Shared>();
  try {
    thread_ = std::thread([shared = shared_, body = std::move(body)]() {
      shared->thread_id.store(std::this_thread::get_id());
      const std::uint32_t code = body();
      shared->exit_code.store(code);
      shared->ended.Release();
    });
  } catch (const std::system_error&) {
    shared_ = std::make_shared<Shared>();
    return false;
  }
  id_ = g_next_thread_id.fetch_add(1);
  if (id_ == 0) id_ = g_next_thread_id.fetch_add(1);
  return true;
}

std::uint32_t WorkerThread::ExitCode() const {
  return shared_->exit_code.load();
}

bool WorkerThread::IsCurrent() const {
  return shared_->thread_id.load() == std::this_thread::get_id();
}

void WorkerThread::Close() {
  if (IsCurrent() || !thread_.joinable()) return;
  thread_.join();
  shared_->thread_id.store(std::thread::id());
  id_ = 0;
}

bool WorkerThread::EndsWithin(std::chrono::milliseconds wait) const {
  if (!thread_.joinable() || IsCurrent()) return true;
  if (!shared_->ended.TryAcquireFor(wait)) return false;
  shared_->ended.Release();  // for the next to ask
  return true;
}

void WorkerThread::SetPriority(int priority) {
  shared_->priority.store(priority);
}

int WorkerThread::priority() const {
  return shared_->priority.load();
}

}  // namespace tarvel
