#include "serial/portreturn.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsFolder(const fs::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Follows a link to its end: a link whose device is gone counts as missing.
bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

PortReturnWatch::PortReturnWatch(std::string path, std::function<void()> back)
    : path_(std::move(path)), back_(std::move(back)) {
  QObject::connect(&retry_, &QTimer::timeout, [this] { Retry(); });
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;  // no inotify: the user reconnects through the menu as ever
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnEvents(); });
  Arm();
  Check();
}

PortReturnWatch::~PortReturnWatch() {
  notifier_.reset();
  if (fd_ >= 0) close(fd_);
}

// Watches the deepest folder on the way to the path that exists now.
void PortReturnWatch::Arm() {
  fs::path folder = fs::path(path_).parent_path();
  while (!folder.empty() && folder != folder.root_path() && !IsFolder(folder)) folder = folder.parent_path();
  if (folder.empty()) folder = ".";
  if (folder.string() == watched_ && watch_ >= 0) return;
  if (watch_ >= 0) inotify_rm_watch(fd_, watch_);
  watch_ = inotify_add_watch(fd_, folder.c_str(), kFolderEvents);
  watched_ = folder.string();
}

void PortReturnWatch::OnEvents() {
  alignas(inotify_event) char buffer[4096];
  bool relevant = false;
  ssize_t n;
  const fs::path target(path_);
  while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
    for (char* p = buffer; p < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) {
        relevant = true;  // the watched folder itself changed: look again from the top
        watch_ = -1;
        continue;
      }
      if (!event->len) continue;
      // Only what happens to the path itself, or to the folder on its way that
      // is missing now, counts; /dev sees every other device come and go too.
      const fs::path changed = fs::path(watched_) / event->name;
      const std::string rest = target.lexically_relative(changed).string();
      const bool onTheWay = changed == target || (!rest.empty() && rest.rfind("..", 0) != 0);
      if (!onTheWay) continue;
      relevant = true;
      // Gone and back between two looks: the events tell what the look cannot.
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) seenMissing_ = true;
    }
  }
  if (!relevant) return;
  Arm();
  Check();
}

void PortReturnWatch::Check() {
  if (!Exists(path_)) {
    seenMissing_ = true;
    return;
  }
  if (!seenMissing_) return;
  // From the event loop, not from inside the notifier's signal: `back` may
  // well end this watch.
  QTimer::singleShot(0, notifier_.get(), [back = back_] { back(); });
}

void PortReturnWatch::RetryWhileBusy(std::chrono::milliseconds every, std::chrono::milliseconds atMost) {
  if (retry_.isActive()) return;
  retryFor_ = atMost;
  retrying_.start();
  retry_.setInterval(every);
  retry_.start();
}

void PortReturnWatch::Retry() {
  if (retrying_.elapsed() >= retryFor_.count()) {
    retry_.stop();
    return;
  }
  // As Check: `back` may end this watch, and with it this timer.
  if (Exists(path_)) QTimer::singleShot(0, &retry_, [back = back_] { back(); });
}
