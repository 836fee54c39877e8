// One running copy per logged-on user. Players double-click a bootstrapper that is slow to show its
// window; two copies would append to the same download file and delete each other's files.
#pragma once

#include <string>

#include "runtime/win_handle.h"

namespace quorvel {

// Owns the user's instance mutex for the life of the process; the system releases it when the
// process ends, however it ends.
class SingleInstance {
 public:
  // Takes the mutex. A mutex left abandoned by a copy that was killed counts as free. When the
  // mutex cannot be made at all, this copy runs: a failed guard must never stop a download.
  static SingleInstance claim();
  // The same with a mutex of the caller's naming.
  static SingleInstance claim(const std::wstring& name);

  // False when another live copy holds the mutex: this one must end before touching anything.
  bool first() const { return first_; }

 private:
  UniqueHandle mutex_;
  bool first_ = true;
};

// The mutex of claim(): one per user in the session's namespace, named after the user's SID.
std::wstring instance_mutex_name();

// Brings the running copy's window to the front, if it has one yet.
void show_running_copy();

}  // namespace quorvel
