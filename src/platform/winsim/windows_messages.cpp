// Messages of the window service: each thread's queue of posted and sent messages, the message
// loop, and sends across threads that serve what is sent to the waiting thread meanwhile.
#include <algorithm>
#include <chrono>

#include "platform/winsim/services.h"
#include "platform/ui.h"
#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

namespace {

// Ends a thread's queues when the thread ends: senders waiting on it get 0, as on Windows.
struct ThreadQueues {
  std::vector<std::pair<std::weak_ptr<Core>, std::shared_ptr<ThreadQueue>>> entries;
  ~ThreadQueues() {
    for (auto& [weak, q] : entries) {
      auto core = weak.lock();
      if (!core) continue;
      std::lock_guard lock(core->mu);
      q->alive = false;
      for (auto& s : q->sent) {
        s->done = true;
        if (s->replyTo) s->replyTo->cv.notify_all();
      }
      q->sent.clear();
      for (auto it = core->queues.begin(); it != core->queues.end(); ++it) {
        if (it->second == q) {
          core->queues.erase(it);
          break;
        }
      }
      core->progress.notify_all();
    }
  }
};
thread_local ThreadQueues tQueues;

}  // namespace

LRESULT WinsimWindows::SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  bool ok = true;
  return Send(window, msg, wParam, lParam, INFINITE, &ok);
}

BOOL WinsimWindows::PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!window) {
    std::lock_guard lock(core_->mu);
    PostLocked(MyQueueLocked(), {nullptr, msg, wParam, lParam, 0, {}});
    return TRUE;
  }
  if (!IsOurs(window)) return Desktop().PostMessageW(window, msg, wParam, lParam);
  return Post(window, msg, wParam, lParam) ? TRUE : FALSE;
}

void WinsimWindows::PostQuitMessage(int exitCode) {
  std::lock_guard lock(core_->mu);
  auto q = MyQueueLocked();
  q->quit = true;
  q->quitCode = exitCode;
  q->cv.notify_all();
}

BOOL WinsimWindows::GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg) return -1;
  if (window && !IsOurs(window)) return SetLastError(kErrorInvalidWindowHandle), -1;
  std::unique_lock lock(core_->mu);
  auto q = MyQueueLocked();
  MarkProcessedLocked(q);
  for (;;) {
    if (ServeOneSentLocked(q, lock)) continue;
    if (TakeLocked(q, msg, window, filterMin, filterMax, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
    q->cv.wait(lock);
  }
}

BOOL WinsimWindows::PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (!msg) return FALSE;
  std::unique_lock lock(core_->mu);
  auto q = MyQueueLocked();
  MarkProcessedLocked(q);
  while (ServeOneSentLocked(q, lock)) {
  }
  return TakeLocked(q, msg, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WinsimWindows::IsDialogMessageW(HWND dialog, MSG* msg) {
  if (!msg || !dialog) return FALSE;
  {
    std::lock_guard lock(core_->mu);
    if (!FindLocked(dialog) || !msg->hwnd) return FALSE;
    if (msg->hwnd != dialog && !IsDescendantLocked(dialog, msg->hwnd)) return FALSE;
  }
  if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
    const int id = msg->wParam == VK_RETURN ? IDOK : IDCANCEL;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    return TRUE;
  }
  TranslateMessage(msg);
  DispatchMessageW(msg);
  return TRUE;
}

BOOL WinsimWindows::TranslateMessage(const MSG* msg) {
  return msg && (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) ? TRUE : FALSE;
}

LRESULT WinsimWindows::DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  return CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WinsimWindows::TrackMouseEvent(TRACKMOUSEEVENT* track) {
  if (!track || track->cbSize != sizeof(TRACKMOUSEEVENT)) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(track->hwndTrack);
  if (!w) return SetLastError(kErrorInvalidWindowHandle), FALSE;
  const bool on = !(track->dwFlags & TME_CANCEL);
  if (track->dwFlags & TME_LEAVE) w->trackLeave = on;
  if (track->dwFlags & TME_HOVER) w->trackHover = on;
  return TRUE;
}

std::shared_ptr<ThreadQueue> WinsimWindows::MyQueueLocked() {
  auto id = std::this_thread::get_id();
  auto it = core_->queues.find(id);
  if (it != core_->queues.end()) return it->second;
  auto q = std::make_shared<ThreadQueue>();
  core_->queues[id] = q;
  tQueues.entries.emplace_back(core_, q);
  return q;
}

uint64_t WinsimWindows::PostLocked(const std::shared_ptr<ThreadQueue>& q, MSG msg) {
  msg.time = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
  uint64_t seq = q->nextSeq++;
  q->posted.push_back({msg, seq});
  q->cv.notify_all();
  return seq;
}

uint64_t WinsimWindows::Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  if (!w || !w->queue->alive) return 0;
  return PostLocked(w->queue, {window, msg, wParam, lParam, 0, {}});
}

void WinsimWindows::MarkProcessedLocked(const std::shared_ptr<ThreadQueue>& q) {
  if (q->processed != q->taken) {
    q->processed = q->taken;
    core_->progress.notify_all();
  }
}

bool WinsimWindows::ServeOneSentLocked(const std::shared_ptr<ThreadQueue>& q, std::unique_lock<std::mutex>& lock) {
  if (q->sent.empty()) return false;
  auto s = q->sent.front();
  q->sent.pop_front();
  lock.unlock();
  LRESULT r = CallProc(s->hwnd, s->msg, s->wParam, s->lParam);
  lock.lock();
  s->result = r;
  s->done = true;
  if (s->replyTo) s->replyTo->cv.notify_all();
  return true;
}

bool WinsimWindows::Matches(const MSG& m, HWND window, UINT lo, UINT hi) {
  if (window && m.hwnd != window && !IsDescendantLocked(window, m.hwnd)) return false;
  if (lo == 0 && hi == 0) return true;
  return m.message >= lo && m.message <= hi;
}

bool WinsimWindows::TakeLocked(const std::shared_ptr<ThreadQueue>& q, MSG* out, HWND window, UINT lo, UINT hi,
                               bool remove) {
  for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
    if (!Matches(it->msg, window, lo, hi)) continue;
    *out = it->msg;
    if (remove) {
      q->taken = std::max(q->taken, it->seq);
      q->posted.erase(it);
    }
    return true;
  }
  // WM_QUIT comes whatever the range filter, once the posted messages are out.
  if (q->quit && window == nullptr) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q->quitCode), 0, 0, {}};
    if (remove) q->quit = false;
    return true;
  }
  // A window that needs painting gets WM_PAINT once nothing else is waiting, as on Windows.
  if (lo == 0 && hi == 0 ? true : (WM_PAINT >= lo && WM_PAINT <= hi)) {
    Wnd* best = nullptr;
    for (auto& [k, w] : windows_) {
      if (w->queue != q || !w->invalid || !VisibleLocked(w.get())) continue;
      if (window && w->hwnd != window && !IsDescendantLocked(window, w->hwnd)) continue;
      if (!best || w->order < best->order) best = w.get();
    }
    if (best) {
      *out = MSG{best->hwnd, WM_PAINT, 0, 0, 0, {}};
      return true;
    }
  }
  return false;
}

LRESULT WinsimWindows::CallProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return 0;
    proc = w->proc;
  }
  return proc ? proc(window, msg, wParam, lParam) : 0;
}

LRESULT WinsimWindows::Send(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, bool* ok) {
  std::unique_lock lock(core_->mu);
  Wnd* w = FindLocked(window);
  if (!w) {
    lock.unlock();
    *ok = false;
    if (window && window != kDesktopHwnd) return Desktop().SendMessageW(window, msg, wParam, lParam);
    return 0;
  }
  auto me = MyQueueLocked();
  if (w->queue == me) {
    WNDPROC proc = w->proc;
    lock.unlock();
    return proc ? proc(window, msg, wParam, lParam) : 0;
  }
  auto target = w->queue;
  if (!target->alive) return *ok = false, 0;
  auto s = std::make_shared<SentMessage>(SentMessage{window, msg, wParam, lParam, 0, false, me});
  target->sent.push_back(s);
  target->cv.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!s->done) {
    // Serve what others send to this thread meanwhile, so mutual sends cannot deadlock.
    if (ServeOneSentLocked(me, lock)) continue;
    if (timeoutMs == INFINITE) {
      me->cv.wait(lock);
    } else if (me->cv.wait_until(lock, deadline) == std::cv_status::timeout && !s->done) {
      std::erase(target->sent, s);
      *ok = false;
      return 0;
    }
  }
  *ok = target->alive || s->result != 0;
  return s->result;
}

}  // namespace winsim
