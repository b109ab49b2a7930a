#pragma once

#include "web/capture_index.h"
#include "web/file_access.h"

#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace krt460::web {

// Keeps the index of DIR (its real path) and its direct subfolders by inotify, on a thread of its
// own: a file renamed, linked or written into place is put, one deleted or moved away is
// removed, a subfolder made or moved in is watched and looked at. Hidden and temporary names
// are no captures and are passed over; so are links out of DIR and links to folders. When the
// kernel's event queue overflows, everything is looked at again. A folder that cannot be
// watched (the system's limit of watches reached) is told once and looked at every few seconds.
class FolderWatcher {
public:
    using OnChanges = std::function<void(const std::vector<Change>&)>;
    static constexpr std::chrono::seconds kPollInterval{5};

    FolderWatcher(std::string root, CaptureIndex& index, OnChanges onChanges, std::ostream& log);
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Looks at every folder and starts watching; false with the system's words when DIR itself
    // cannot be read.
    bool Start(std::string& error);
    void Stop();

private:
    void Run();
    void Handle(const char* events, std::size_t length, bool& lookAgain,
                std::vector<Change>& changes);
    // Looks at the whole tree again: what came or went meanwhile is told as changes.
    void LookAtAll(std::vector<Change>& changes);
    // Watches the folder and looks at it; DIR's own subfolders into `subfolders` where asked.
    void AddFolder(const std::string& folder, std::vector<Change>* changes,
                   std::vector<std::string>* subfolders = nullptr);
    void DropFolder(const std::string& folder, std::vector<Change>& changes);
    // The capture files in a folder; DIR's own subfolders into `subfolders` where asked.
    std::vector<FoundFile> Look(const std::string& folder, std::vector<std::string>* subfolders);
    std::optional<FoundFile> Found(const std::string& folder, const std::string& name) const;
    std::string PathOf(const std::string& folder, const std::string& name = "") const;

    const std::string root_;
    CaptureIndex& index_;
    const OnChanges onChanges_;
    std::ostream& log_;
    UniqueFd inotify_;
    UniqueFd wake_;
    std::map<int, std::string> folderOf_; // watch descriptor to folder
    std::map<std::string, int> watchOf_;
    std::set<std::string> polled_; // folders not watched
    std::thread thread_;
};

} // namespace krt460::web
