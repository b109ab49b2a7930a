#include "web/folder_watcher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krt460::web {
namespace {

// A file renamed or linked into place is complete (IN_MOVED_TO, IN_CREATE), one written in place
// once it is closed (IN_CLOSE_WRITE).
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                     IN_DELETE | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

void CloseDir(DIR* dir) {
    ::closedir(dir);
}
using UniqueDir = UniqueHandle<SimpleHandleTraits<DIR*, CloseDir, nullptr>>;

bool Hidden(const std::string& name) {
    return name.empty() || name[0] == '.';
}

} // namespace

FolderWatcher::FolderWatcher(std::string root, CaptureIndex& index, OnChanges onChanges,
                             std::ostream& log)
    : root_(std::move(root)), index_(index), onChanges_(std::move(onChanges)), log_(log) {}

FolderWatcher::~FolderWatcher() {
    Stop();
}

std::string FolderWatcher::PathOf(const std::string& folder, const std::string& name) const {
    std::string path = root_;
    if (!folder.empty()) {
        path += "/" + folder;
    }
    return name.empty() ? path : path + "/" + name;
}

std::optional<FoundFile> FolderWatcher::Found(const std::string& folder,
                                              const std::string& name) const {
    if (!ParseCaptureName(name)) {
        return std::nullopt;
    }
    const std::optional<FileFacts> facts = FactsInside(root_, PathOf(folder, name));
    if (!facts) {
        return std::nullopt;
    }
    return FoundFile{name, *facts};
}

std::vector<FoundFile> FolderWatcher::Look(const std::string& folder,
                                           std::vector<std::string>* subfolders) {
    std::vector<FoundFile> files;
    const UniqueDir dir(::opendir(PathOf(folder).c_str()));
    if (!dir) {
        return files;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (Hidden(name)) {
            continue;
        }
        struct stat status {};
        // A plain file is looked at by its name in the folder open here, without a path to
        // follow: 300,000 files at start.
        if (entry->d_type == DT_REG && ParseCaptureName(name) &&
            ::fstatat(::dirfd(dir.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            files.push_back({name, FactsOf(status)});
            continue;
        }
        if (std::optional<FoundFile> file = Found(folder, name)) {
            files.push_back(std::move(*file));
            continue;
        }
        if (subfolders != nullptr && ::lstat(PathOf(folder, name).c_str(), &status) == 0 &&
            S_ISDIR(status.st_mode)) {
            subfolders->push_back(name);
        }
    }
    return files;
}

void FolderWatcher::AddFolder(const std::string& folder, std::vector<Change>* changes,
                              std::vector<std::string>* subfolders) {
    // Watched first, then looked at: a file arriving in between is seen either way.
    const int watch =
        inotify_ ? ::inotify_add_watch(inotify_.get(), PathOf(folder).c_str(), kWatchMask) : -1;
    if (watch >= 0) {
        folderOf_[watch] = folder;
        watchOf_[folder] = watch;
        polled_.erase(folder);
    } else if (polled_.insert(folder).second) {
        const int reason = inotify_ ? errno : ENOSYS;
        log_ << "warning: cannot watch '" << PathOf(folder) << "' for new captures ("
             << (reason == ENOSPC ? "the system's limit of inotify watches is reached: "
                                    "fs.inotify.max_user_watches"
                                  : std::strerror(reason))
             << "); it is looked at every " << kPollInterval.count() << " s instead" << std::endl;
    }
    index_.AddFolder(folder);
    index_.Replace(folder, Look(folder, subfolders), changes);
}

void FolderWatcher::DropFolder(const std::string& folder, std::vector<Change>& changes) {
    if (const auto at = watchOf_.find(folder); at != watchOf_.end()) {
        // A folder moved away would still be watched where it went.
        ::inotify_rm_watch(inotify_.get(), at->second);
        folderOf_.erase(at->second);
        watchOf_.erase(at);
    }
    polled_.erase(folder);
    std::vector<Change> gone = index_.RemoveFolder(folder);
    changes.insert(changes.end(), gone.begin(), gone.end());
}

void FolderWatcher::LookAtAll(std::vector<Change>& changes) {
    std::vector<std::string> subfolders;
    AddFolder("", &changes, &subfolders);
    // Every folder known: watched, looked at in turn, or holding captures.
    std::set<std::string> known(polled_);
    for (const auto& [folder, watch] : watchOf_) {
        known.insert(folder);
    }
    for (const std::string& folder : index_.Folders()) {
        known.insert(folder);
    }
    for (const std::string& folder : known) {
        if (!folder.empty() &&
            std::find(subfolders.begin(), subfolders.end(), folder) == subfolders.end()) {
            DropFolder(folder, changes);
        }
    }
    for (const std::string& folder : subfolders) {
        AddFolder(folder, &changes); // watched already: the same watch
    }
}

bool FolderWatcher::Start(std::string& error) {
    if (const UniqueDir dir(::opendir(root_.c_str())); !dir) {
        error = std::strerror(errno);
        return false;
    }
    inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_) {
        log_ << "warning: cannot watch for new captures: " << std::strerror(errno) << std::endl;
    }
    wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) {
        error = std::strerror(errno);
        return false;
    }
    std::vector<std::string> subfolders;
    AddFolder("", nullptr, &subfolders); // nobody is listening yet
    for (const std::string& folder : subfolders) {
        AddFolder(folder, nullptr);
    }
    ::malloc_trim(0); // what the first look needed meanwhile goes back
    thread_ = std::thread(&FolderWatcher::Run, this);
    return true;
}

void FolderWatcher::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
}

void FolderWatcher::Handle(const char* events, std::size_t length, bool& lookAgain,
                           std::vector<Change>& changes) {
    for (std::size_t at = 0; at + sizeof(inotify_event) <= length;) {
        inotify_event event;
        std::memcpy(&event, events + at, sizeof event);
        const std::string name =
            event.len > 0 ? std::string(events + at + sizeof event) : std::string();
        at += sizeof event + event.len;
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            lookAgain = true;
            continue;
        }
        const auto watched = folderOf_.find(event.wd);
        if (watched == folderOf_.end()) {
            continue;
        }
        const std::string folder = watched->second;
        if ((event.mask & IN_IGNORED) != 0) {
            folderOf_.erase(watched);
            watchOf_.erase(folder);
            continue;
        }
        if (Hidden(name)) {
            continue;
        }
        if ((event.mask & IN_ISDIR) != 0) {
            if (!folder.empty()) {
                continue; // only DIR's direct subfolders are galleries
            }
            if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                AddFolder(name, &changes);
            } else if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                DropFolder(name, changes);
            }
            continue;
        }
        std::optional<Change> change;
        if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
            change = index_.Remove(folder, name);
        } else if (const std::optional<FoundFile> file = Found(folder, name)) {
            // A new name that is still empty is being written in place: its close will tell.
            if ((event.mask & IN_CREATE) == 0 || file->facts.size > 0) {
                change = index_.Put(folder, *file);
            }
        } else {
            change = index_.Remove(folder, name); // replaced by a link out of DIR, say
        }
        if (change) {
            changes.push_back(std::move(*change));
        }
    }
}

void FolderWatcher::Run() {
    alignas(inotify_event) char buffer[64 * 1024];
    auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
    for (;;) {
        pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const auto wait = polled_.empty()
                              ? -1
                              : std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(
                                                      nextPoll - std::chrono::steady_clock::now())
                                                      .count());
        if (::poll(fds, inotify_ ? 2 : 1, static_cast<int>(wait)) < 0 && errno != EINTR) {
            log_ << "error: watching for captures: " << std::strerror(errno) << std::endl;
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        std::vector<Change> changes;
        bool lookAgain = false;
        for (;;) {
            const ssize_t length = inotify_ ? ::read(inotify_.get(), buffer, sizeof buffer) : -1;
            if (length <= 0) {
                break;
            }
            Handle(buffer, static_cast<std::size_t>(length), lookAgain, changes);
        }
        if (!polled_.empty() && std::chrono::steady_clock::now() >= nextPoll) {
            nextPoll = std::chrono::steady_clock::now() + kPollInterval;
            if (polled_.count("") != 0) {
                lookAgain = true;
            } else {
                for (const std::string& folder : std::set(polled_)) {
                    index_.Replace(folder, Look(folder, nullptr), &changes);
                }
            }
        }
        if (lookAgain) {
            LookAtAll(changes);
        }
        if (!changes.empty()) {
            onChanges_(changes);
        }
    }
}

} // namespace krt460::web
