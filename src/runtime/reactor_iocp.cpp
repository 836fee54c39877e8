// The Windows reactor: one I/O completion port; readiness comes from poll requests to the AFD
// driver issued on each socket's base handle, whose completions arrive on the port. WSAPoll is
// avoided: it never reports a failed connect before Windows 10 2004.
//
// A poll request's memory (its IO_STATUS_BLOCK and AFD_POLL_INFO) is written by the kernel until
// the completion is dequeued, so it lives in the reactor-owned Source, which keeps itself alive
// while a request is pending; a cancelled task or a closed socket therefore never leaves the kernel
// writing into freed memory.
#include <winsock2.h>

#include <windows.h>

#include <winternl.h>

#include <atomic>

#include "runtime/reactor.h"
#include "runtime/reactor_backend.h"
#include "runtime/runtime_internal.h"

namespace quorvel {
namespace detail {

std::atomic<int> live_sources{0};
int live_reactor_sources() {
  return live_sources.load();
}
namespace {

constexpr ULONG IOCTL_AFD_POLL = 0x00012024;
constexpr DWORD SIO_BASE_HANDLE_CODE = 0x48000022;
constexpr NTSTATUS STATUS_PENDING_CODE = 0x00000103;
constexpr NTSTATUS STATUS_CANCELLED_CODE = static_cast<NTSTATUS>(0xC0000120);

constexpr ULONG AFD_POLL_RECEIVE = 0x0001;
constexpr ULONG AFD_POLL_SEND = 0x0004;
constexpr ULONG AFD_POLL_DISCONNECT = 0x0008;
constexpr ULONG AFD_POLL_ABORT = 0x0010;
constexpr ULONG AFD_POLL_LOCAL_CLOSE = 0x0020;
constexpr ULONG AFD_POLL_ACCEPT = 0x0080;
constexpr ULONG AFD_POLL_CONNECT_FAIL = 0x0100;

// Readable includes end of stream; both directions end on errors, so a refused connect wakes the
// task waiting for writability.
constexpr ULONG READ_EVENTS = AFD_POLL_RECEIVE | AFD_POLL_ACCEPT | AFD_POLL_DISCONNECT |
                              AFD_POLL_ABORT | AFD_POLL_LOCAL_CLOSE | AFD_POLL_CONNECT_FAIL;
constexpr ULONG WRITE_EVENTS =
    AFD_POLL_SEND | AFD_POLL_ABORT | AFD_POLL_LOCAL_CLOSE | AFD_POLL_CONNECT_FAIL;

struct AfdPollHandleInfo {
  HANDLE handle;
  ULONG events;
  NTSTATUS status;
};

struct AfdPollInfo {
  LARGE_INTEGER timeout;
  ULONG number_of_handles;
  ULONG exclusive;
  AfdPollHandleInfo handles[1];
};

HANDLE completion_port = nullptr;
Mutex sources_mutex;  // guards every Source's waiters and request states

}  // namespace

struct Source;

struct PollRequest {
  IO_STATUS_BLOCK iosb{};  // first member: the completion entry hands back this address
  AfdPollInfo info{};
  Source* source = nullptr;
  Direction direction = Direction::Read;
  bool pending = false;
  std::shared_ptr<Source> keep_alive;  // set while the kernel owns this request
};

struct Source : std::enable_shared_from_this<Source> {
  Source() { live_sources.fetch_add(1); }
  Source(const Source&) = delete;
  ~Source() { live_sources.fetch_sub(1); }

  SOCKET socket = INVALID_SOCKET;
  HANDLE base = nullptr;
  bool closed = false;
  std::shared_ptr<TaskRecord> waiters[2];
  PollRequest requests[2];
  Readiness seen[2];  // what the last completed request of each direction reported
};

namespace {

// What a completed request reports; a cancelled one (its wait was withdrawn) reports nothing.
Readiness readiness_of(const PollRequest& request) {
  Readiness seen;
  NTSTATUS status = request.iosb.Status;
  if (status == STATUS_CANCELLED_CODE) return seen;
  if (status < 0) {
    seen.error = true;
    return seen;
  }
  if (request.info.number_of_handles == 0) return seen;
  ULONG events = request.info.handles[0].events;
  seen.read = (events & (AFD_POLL_RECEIVE | AFD_POLL_ACCEPT | AFD_POLL_DISCONNECT)) != 0;
  seen.write = (events & AFD_POLL_SEND) != 0;
  seen.hangup = (events & (AFD_POLL_ABORT | AFD_POLL_LOCAL_CLOSE)) != 0;
  seen.error = (events & AFD_POLL_CONNECT_FAIL) != 0;
  return seen;
}

// With sources_mutex held. False when the request could not be issued; the waiter then goes on at
// once and meets the socket's state in its next operation.
bool issue_poll(Source& source, Direction direction) {
  PollRequest& request = source.requests[static_cast<int>(direction)];
  if (request.pending) return true;
  request.iosb.Status = STATUS_PENDING_CODE;
  request.iosb.Information = 0;
  request.info.timeout.QuadPart = INT64_MAX;
  request.info.number_of_handles = 1;
  request.info.exclusive = FALSE;
  request.info.handles[0].handle = source.base;
  request.info.handles[0].events = direction == Direction::Read ? READ_EVENTS : WRITE_EVENTS;
  request.info.handles[0].status = 0;
  NTSTATUS status =
      NtDeviceIoControlFile(source.base, nullptr, nullptr, &request, &request.iosb, IOCTL_AFD_POLL,
                            &request.info, sizeof request.info, &request.info, sizeof request.info);
  // Success still queues a completion packet; only a failure does not.
  if (status != STATUS_PENDING_CODE && status < 0) return false;
  request.pending = true;
  request.keep_alive = source.shared_from_this();
  return true;
}

}  // namespace

Result<void> backend_init() {
  completion_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  if (completion_port == nullptr) return last_os_error();
  return success();
}

void backend_notify() {
  PostQueuedCompletionStatus(completion_port, 0, 0, nullptr);
}

void backend_wait(int timeout_ms) {
  OVERLAPPED_ENTRY entries[64];
  ULONG count = 0;
  if (!GetQueuedCompletionStatusEx(completion_port, entries, 64, &count,
                                   timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms),
                                   FALSE))
    return;
  std::shared_ptr<TaskRecord> ready[64];
  std::shared_ptr<Source> released[64];
  size_t n_ready = 0;
  size_t n_released = 0;
  {
    std::lock_guard lock(sources_mutex);
    for (ULONG i = 0; i < count; ++i) {
      if (entries[i].lpOverlapped == nullptr) continue;  // a notify
      auto* request = reinterpret_cast<PollRequest*>(entries[i].lpOverlapped);
      Source& source = *request->source;
      request->pending = false;
      source.seen[static_cast<int>(request->direction)] = readiness_of(*request);
      auto& waiter = source.waiters[static_cast<int>(request->direction)];
      if (waiter) ready[n_ready++] = std::move(waiter);
      released[n_released++] = std::move(request->keep_alive);
    }
  }
  for (size_t i = 0; i < n_ready; ++i) wake(ready[i]);
  // The last references to deregistered sources may go here, outside the lock.
  for (size_t i = 0; i < n_released; ++i) released[i].reset();
}

ReadinessAwaiter::~ReadinessAwaiter() {
  if (!waiting_) return;
  std::lock_guard lock(sources_mutex);
  source_->waiters[static_cast<int>(direction_)].reset();
}

bool ReadinessAwaiter::await_suspend(std::coroutine_handle<> h) {
  std::shared_ptr<TaskRecord> task = suspend_current(h);
  std::lock_guard lock(sources_mutex);
  if (source_->closed) return false;
  auto& slot = source_->waiters[static_cast<int>(direction_)];
  if (slot) fatal("two tasks wait on the same socket in the same direction");
  // A request still in flight for an earlier, withdrawn wait serves this one too.
  source_->seen[static_cast<int>(direction_)] = {};
  if (!issue_poll(*source_, direction_)) return false;
  slot = std::move(task);
  waiting_ = true;
  return true;
}

Readiness ReadinessAwaiter::await_resume() noexcept {
  if (!waiting_) return Readiness{.error = true};  // the wait could not be made
  waiting_ = false;
  std::lock_guard lock(sources_mutex);
  return source_->seen[static_cast<int>(direction_)];
}

}  // namespace detail

Result<SocketRegistration> SocketRegistration::create(NativeSocket socket) {
  detail::reactor_start();
  auto source = std::make_shared<detail::Source>();
  source->socket = static_cast<SOCKET>(socket);
  // Layered service providers may wrap the socket; AFD only knows the base handle.
  SOCKET base = INVALID_SOCKET;
  DWORD bytes = 0;
  if (WSAIoctl(source->socket, detail::SIO_BASE_HANDLE_CODE, nullptr, 0, &base, sizeof base, &bytes,
               nullptr, nullptr) != 0) {
    base = source->socket;
  }
  source->base = reinterpret_cast<HANDLE>(base);
  // A socket joins a completion port once for its whole life. Registered again (after an earlier
  // registration was dropped) it is refused with ERROR_INVALID_PARAMETER; the port it already
  // belongs to can only be ours, the process's only one.
  if (CreateIoCompletionPort(source->base, detail::completion_port, 0, 0) == nullptr) {
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER) return Error::os(static_cast<int32_t>(error));
  }
  for (int d = 0; d < 2; ++d) {
    source->requests[d].source = source.get();
    source->requests[d].direction = static_cast<detail::Direction>(d);
  }
  return SocketRegistration(std::move(source));
}

void SocketRegistration::deregister() noexcept {
  if (!source_) return;
  {
    std::lock_guard lock(detail::sources_mutex);
    source_->closed = true;
    source_->waiters[0].reset();
    source_->waiters[1].reset();
    // Pending requests end with a cancellation completion, which releases the source.
    for (auto& request : source_->requests) {
      if (request.pending) CancelIoEx(source_->base, reinterpret_cast<OVERLAPPED*>(&request.iosb));
    }
  }
  source_.reset();
}

}  // namespace quorvel
