#include "web/capture_index.h"

namespace krt460::web {

bool Capture::operator==(const Capture& other) const {
    return folder == other.folder && name.Base() == other.name.Base() && files == other.files &&
           record == other.record;
}

Verdict VerdictOf(const Capture& capture) {
    const bool picture = capture.File(CaptureFileKind::Bmp) || capture.File(CaptureFileKind::Png);
    if (capture.record) {
        if (capture.record->kept == "partial") {
            return Verdict::CutShort;
        }
        if (capture.record->kept == "raw") {
            return Verdict::Undecodable;
        }
        if (capture.record->kept == "picture" && !picture) {
            return Verdict::Awaited;
        }
    }
    if (picture) {
        return Verdict::Picture;
    }
    return capture.File(CaptureFileKind::Partial) ? Verdict::CutShort : Verdict::Undecodable;
}

CaptureIndex::Order CaptureIndex::OrderOf(const std::string& folder, const CaptureName& name) {
    return {name.stamp, name.sequence, folder, name.prefix};
}

std::optional<Change> CaptureIndex::PutLocked(const std::string& folder, const FoundFile& file) {
    const std::optional<CaptureName> name = ParseCaptureName(file.name);
    if (!name) {
        return std::nullopt;
    }
    const auto [at, added] = captures_.try_emplace(OrderOf(folder, *name));
    Capture& capture = at->second;
    if (added) {
        capture.folder = folder;
        capture.name = *name;
        ++folders_[folder];
    }
    const Capture before = capture;
    capture.files[static_cast<std::size_t>(name->kind)] = file.facts;
    if (name->kind == CaptureFileKind::Record) {
        capture.record = file.record;
    }
    if (!added && capture == before) {
        return std::nullopt;
    }
    return Change{false, capture};
}

std::optional<Change> CaptureIndex::RemoveLocked(const std::string& folder,
                                                 const std::string& fileName) {
    const std::optional<CaptureName> name = ParseCaptureName(fileName);
    if (!name) {
        return std::nullopt;
    }
    const auto at = captures_.find(OrderOf(folder, *name));
    if (at == captures_.end() || !at->second.File(name->kind)) {
        return std::nullopt;
    }
    Capture& capture = at->second;
    capture.files[static_cast<std::size_t>(name->kind)].reset();
    if (name->kind == CaptureFileKind::Record) {
        capture.record.reset();
    }
    for (const auto& facts : capture.files) {
        if (facts) {
            return Change{false, capture};
        }
    }
    Change gone{true, std::move(capture)};
    captures_.erase(at);
    --folders_[folder];
    return gone;
}

std::optional<Change> CaptureIndex::Put(const std::string& folder, const FoundFile& file) {
    const std::lock_guard lock(mutex_);
    return PutLocked(folder, file);
}

std::optional<Change> CaptureIndex::Remove(const std::string& folder, const std::string& fileName) {
    const std::lock_guard lock(mutex_);
    return RemoveLocked(folder, fileName);
}

std::vector<Change> CaptureIndex::Replace(const std::string& folder,
                                          const std::vector<FoundFile>& files) {
    const std::lock_guard lock(mutex_);
    // What the folder holds now, built on its own and then put in place of what was known:
    // the index is all that stays of a look at 10,000 captures.
    std::map<Order, Capture, std::greater<>> found;
    for (const FoundFile& file : files) {
        const std::optional<CaptureName> name = ParseCaptureName(file.name);
        if (!name) {
            continue;
        }
        const auto [at, added] = found.try_emplace(OrderOf(folder, *name));
        if (added) {
            at->second.folder = folder;
            at->second.name = *name;
        }
        at->second.files[static_cast<std::size_t>(name->kind)] = file.facts;
        if (name->kind == CaptureFileKind::Record) {
            at->second.record = file.record;
        }
    }
    std::vector<Order> changed;
    for (const auto& [order, capture] : found) {
        const auto known = captures_.find(order);
        if (known == captures_.end() || !(known->second == capture)) {
            changed.push_back(order);
        }
    }
    std::vector<Change> changes;
    for (auto at = captures_.begin(); at != captures_.end();) {
        if (at->second.folder != folder) {
            ++at;
            continue;
        }
        if (found.count(at->first) == 0) {
            changes.push_back({true, std::move(at->second)});
        }
        at = captures_.erase(at);
    }
    folders_[folder] = found.size();
    captures_.merge(found);
    for (const Order& order : changed) {
        changes.push_back({false, captures_.at(order)});
    }
    return changes;
}

std::vector<Change> CaptureIndex::RemoveFolder(const std::string& folder) {
    const std::lock_guard lock(mutex_);
    std::vector<Change> changes;
    for (auto at = captures_.begin(); at != captures_.end();) {
        if (at->second.folder == folder) {
            changes.push_back({true, std::move(at->second)});
            at = captures_.erase(at);
        } else {
            ++at;
        }
    }
    folders_.erase(folder);
    return changes;
}

void CaptureIndex::AddFolder(const std::string& folder) {
    const std::lock_guard lock(mutex_);
    folders_.try_emplace(folder, 0);
}

Listing CaptureIndex::List(const std::optional<std::string>& folder, std::size_t page,
                           std::size_t pageSize) const {
    const std::lock_guard lock(mutex_);
    Listing listing;
    if (folder) {
        const auto count = folders_.find(*folder);
        listing.total = count == folders_.end() ? 0 : count->second;
    } else {
        listing.total = captures_.size();
    }
    std::size_t skip = page * pageSize;
    for (const auto& [order, capture] : captures_) {
        if (listing.captures.size() == pageSize) {
            break;
        }
        if (folder && capture.folder != *folder) {
            continue;
        }
        if (skip > 0) {
            --skip;
            continue;
        }
        listing.captures.push_back(capture);
    }
    return listing;
}

std::optional<Capture> CaptureIndex::Find(const std::string& folder,
                                          const std::string& base) const {
    std::optional<CaptureName> name = ParseCaptureName(base + ".bmp");
    if (!name) {
        return std::nullopt;
    }
    const std::lock_guard lock(mutex_);
    const auto at = captures_.find(OrderOf(folder, *name));
    return at == captures_.end() ? std::nullopt : std::optional(at->second);
}

std::vector<std::string> CaptureIndex::Folders() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> folders;
    for (const auto& [folder, count] : folders_) {
        if (count > 0) {
            folders.push_back(folder);
        }
    }
    return folders;
}

} // namespace krt460::web
