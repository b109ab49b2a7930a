#include "cli/output_files.h"

#include "cli/console.h"
#include "common/file_output.h"
#include "keep/capture_files.h"
#include "keep/capture_keeper.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <random>

namespace krt460::cli {
namespace {

namespace fs = std::filesystem;

// The path with every link and "." or ".." resolved, as far as it exists; empty when it cannot
// be made absolute.
fs::path Resolved(const std::string& path) {
    std::error_code error;
    fs::path result = fs::absolute(path, error); // first: a missing folder would stay relative
    result = error ? result : fs::weakly_canonical(result, error);
    return error ? fs::path() : result;
}

} // namespace

std::string PartialFileName(const std::string& output) {
    if (output == "-") {
        return "krt460.partial.bin";
    }
    const fs::path p(output);
    return ((p.has_extension() ? p.parent_path() / p.stem() : p).string()) + ".partial.bin";
}

bool SamePath(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-" || a.empty() || b.empty()) {
        return false;
    }
    std::error_code error;
    if (fs::equivalent(a, b, error)) {
        return true;
    }
    const fs::path resolved = Resolved(a);
    return !resolved.empty() && resolved == Resolved(b);
}

std::string OutputProblem(const std::string& path, std::size_t probeBytes) {
    if (path == "-") {
        return {};
    }
    std::error_code ignored;
    if (fs::is_directory(path, ignored)) {
        return "is a folder";
    }
    const fs::path folder = fs::path(path).parent_path();
    const std::string name = folder.empty() ? "." : folder.string();
    if (!fs::is_directory(name, ignored)) {
        return "folder '" + name + "' does not exist";
    }
    if (fs::exists(path, ignored)) {
        if (const std::string reason = NotWritable(path); !reason.empty()) {
            return reason;
        }
    }
    // A test write, of a picture's size by default, removed at once.
    const std::vector<std::uint8_t> probe(probeBytes);
    std::random_device random;
    std::string error;
    const std::string probeName =
        (fs::path(name) / (".krt460-probe-" + std::to_string(random()))).string();
    if (WriteNewFileAtomically(probeName, probe, error) == NewFileResult::Failed) {
        return "folder '" + name + "': " + error;
    }
    fs::remove(probeName, ignored);
    return {};
}

std::string KeepBytesElsewhere(const std::string& output, std::span<const std::uint8_t> bytes,
                               std::string& error) {
    const fs::path beside = output == "-" ? fs::path("krt460") : fs::path(output);
    const std::string base = WriteCaptureFiles(beside.parent_path().string(),
                                               beside.stem().string(), {{".bin", bytes}}, error);
    return base.empty() ? KeepInTemporaryFolder(bytes, error) : base + ".bin";
}

void KeepReceivedBytes(const std::string& output, std::span<const std::uint8_t> bytes) {
    std::string error;
    const std::string kept = KeepBytesElsewhere(output, bytes, error);
    if (kept.empty()) {
        std::cerr << "error: the received bytes could not be kept either: " << error << '\n';
    } else {
        std::cerr << "The received bytes are kept in " << kept << '\n';
    }
}

} // namespace krt460::cli
