#include "web/capture_index.h"

#include <cstdio>

namespace krt460::web {

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

bool CaptureIndex::Place::operator>(const Place& other) const {
    if (stamp != other.stamp) {
        return stamp > other.stamp;
    }
    if (sequence != other.sequence) {
        return sequence > other.sequence;
    }
    if (folder != other.folder) {
        return *folder > *other.folder;
    }
    return series > other.series;
}

const std::string& CaptureIndex::Interned(const std::string& folder) const {
    const auto at = folderNames_.find(folder);
    return at == folderNames_.end() ? folder : *at;
}

const std::string& CaptureIndex::Intern(const std::string& folder) {
    return *folderNames_.insert(folder).first;
}

CaptureIndex::Place CaptureIndex::PlaceOf(const std::string& folder, const CaptureName& name) {
    // The name's digits, which ParseCaptureName checked, as one number that orders as they do.
    std::uint64_t stamp = 0;
    for (const char digit : name.stamp) {
        if (digit != '-') {
            stamp = stamp * 10 + static_cast<std::uint64_t>(digit - '0');
        }
    }
    return {stamp, name.sequence, !name.prefix.empty(), &folder};
}

void CaptureIndex::Add(Files& files, CaptureFileKind kind, const FileFacts& facts) {
    const auto at = static_cast<std::size_t>(kind);
    files.present = static_cast<std::uint8_t>(files.present | 1u << at);
    files.facts[at] = facts;
}

Capture CaptureIndex::CaptureOf(const Place& place, const Files& files) {
    Capture capture;
    capture.folder = *place.folder;
    char stamp[48]; // room for any number, though a name has 15 characters
    std::snprintf(stamp, sizeof stamp, "%08llu-%06llu",
                  static_cast<unsigned long long>(place.stamp / 1000000),
                  static_cast<unsigned long long>(place.stamp % 1000000));
    capture.name.stamp = stamp;
    capture.name.sequence = place.sequence;
    capture.name.prefix = place.series ? "Scp_" : "";
    for (std::size_t kind = 0; kind < kFileKinds; ++kind) {
        if ((files.present & 1u << kind) != 0) {
            capture.files[kind] = files.facts[kind];
        }
    }
    return capture;
}

std::optional<Change> CaptureIndex::PutLocked(const std::string& folder, const FoundFile& file) {
    const std::optional<CaptureName> name = ParseCaptureName(file.name);
    if (!name) {
        return std::nullopt;
    }
    const auto [at, added] = captures_.try_emplace(PlaceOf(Intern(folder), *name));
    if (added) {
        ++folders_[folder];
    }
    const Files before = at->second;
    Add(at->second, name->kind, file.facts);
    if (!added && at->second == before) {
        return std::nullopt;
    }
    return Change{false, CaptureOf(at->first, at->second)};
}

std::optional<Change> CaptureIndex::Put(const std::string& folder, const FoundFile& file) {
    const std::lock_guard lock(mutex_);
    return PutLocked(folder, file);
}

std::optional<Change> CaptureIndex::Remove(const std::string& folder, const std::string& fileName) {
    const std::optional<CaptureName> name = ParseCaptureName(fileName);
    if (!name) {
        return std::nullopt;
    }
    const std::lock_guard lock(mutex_);
    const auto at = captures_.find(PlaceOf(Interned(folder), *name));
    const unsigned bit = 1u << static_cast<unsigned>(name->kind);
    if (at == captures_.end() || (at->second.present & bit) == 0) {
        return std::nullopt;
    }
    at->second.present = static_cast<std::uint8_t>(at->second.present & ~bit);
    Change change{at->second.present == 0, CaptureOf(at->first, at->second)};
    if (change.removed) {
        captures_.erase(at);
        --folders_[folder];
    }
    return change;
}

void CaptureIndex::Replace(const std::string& folder, const std::vector<FoundFile>& files,
                           std::vector<Change>* changes) {
    const std::lock_guard lock(mutex_);
    // What the folder holds now, built on its own and then put in place of what was known.
    const std::string& interned = Intern(folder);
    Captures found;
    for (const FoundFile& file : files) {
        if (const std::optional<CaptureName> name = ParseCaptureName(file.name)) {
            Add(found[PlaceOf(interned, *name)], name->kind, file.facts);
        }
    }
    folders_[folder] = found.size();
    for (auto at = captures_.begin(); at != captures_.end();) {
        if (at->first.folder != &interned) {
            ++at;
            continue;
        }
        if (found.count(at->first) == 0) {
            if (changes != nullptr) {
                changes->push_back({true, CaptureOf(at->first, at->second)});
            }
        } else if (found.at(at->first) == at->second) {
            found.erase(at->first); // as it was: not told
            ++at;
            continue;
        }
        at = captures_.erase(at);
    }
    for (const auto& [place, capture] : found) {
        if (changes != nullptr) {
            changes->push_back({false, CaptureOf(place, capture)});
        }
    }
    captures_.merge(found);
}

std::vector<Change> CaptureIndex::RemoveFolder(const std::string& folder) {
    const std::lock_guard lock(mutex_);
    const std::string* interned = &Interned(folder);
    std::vector<Change> changes;
    for (auto at = captures_.begin(); at != captures_.end();) {
        if (at->first.folder == interned) {
            changes.push_back({true, CaptureOf(at->first, at->second)});
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
    const std::string* only = folder ? &Interned(*folder) : nullptr;
    if (folder) {
        const auto count = folders_.find(*folder);
        listing.total = count == folders_.end() ? 0 : count->second;
    } else {
        listing.total = captures_.size();
    }
    std::size_t skip = page * pageSize;
    for (const auto& [place, files] : captures_) {
        if (listing.captures.size() == pageSize) {
            break;
        }
        if (only != nullptr && place.folder != only) {
            continue;
        }
        if (skip > 0) {
            --skip;
            continue;
        }
        listing.captures.push_back(CaptureOf(place, files));
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
    const auto at = captures_.find(PlaceOf(Interned(folder), *name));
    return at == captures_.end() ? std::nullopt : std::optional(CaptureOf(at->first, at->second));
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
