// The decoded images' disk cache (see image_cache.h).
#include "emotes/image_cache.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

ImageDiskCache::ImageDiskCache(std::string dir, int64_t max_bytes) : dir_(std::move(dir)), max_bytes_(max_bytes) {
    std::error_code ec;  // no folder yet: an empty cache (the first write makes it)
    std::vector<std::pair<fs::file_time_type, fs::directory_entry>> found;
    for (const auto& e : fs::directory_iterator(dir_, ec)) {
        std::string file = e.path().filename().string();
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".tmp") == 0) fs::remove(e.path(), ec);  // a write cut short
        if (!e.is_regular_file(ec) || e.path().extension() != ".png") continue;
        found.emplace_back(e.last_write_time(ec), e);
    }
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.first > b.first; });  // newest first
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [when, e] : found) {
        std::string name = e.path().stem().string();
        int64_t size = int64_t(e.file_size(ec));
        used_.push_back(name);
        index_[name] = Entry{size, std::prev(used_.end())};
        total_ += size;
    }
    evict_locked();
}

std::string ImageDiskCache::path(const std::string& name) const { return dir_ + "/" + name + ".png"; }

std::optional<std::string> ImageDiskCache::read(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(name);
        if (it == index_.end()) return std::nullopt;
        used_.splice(used_.begin(), used_, it->second.used);
    }
    std::ifstream in(path(name), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::error_code ec;
    if (in.bad() || bytes.empty()) {  // removed or emptied from outside: forget it
        std::lock_guard<std::mutex> lock(mutex_);
        forget_locked(name);
        return std::nullopt;
    }
    fs::last_write_time(path(name), fs::file_time_type::clock::now(), ec);
    return bytes;
}

void ImageDiskCache::write(const std::string& name, const std::string& bytes) {
    std::string final_path = path(name);
    // Two threads never write one name at once (one fetch per name), but a unique
    // temporary name costs nothing.
    std::string tmp = final_path + "." + std::to_string(std::hash<std::string>{}(bytes)) + ".tmp";
    std::error_code made;
    fs::create_directories(dir_, made);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out.flush()) {
            std::error_code ec;
            fs::remove(tmp, ec);
            std::fprintf(stderr, "vimo-service: cannot write the image cache file %s\n", tmp.c_str());
            return;
        }
    }
    std::error_code ec;
    fs::rename(tmp, final_path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    forget_locked(name);
    used_.push_front(name);
    index_[name] = Entry{int64_t(bytes.size()), used_.begin()};
    total_ += int64_t(bytes.size());
    evict_locked();
}

void ImageDiskCache::forget_locked(const std::string& name) {
    auto it = index_.find(name);
    if (it == index_.end()) return;
    total_ -= it->second.size;
    used_.erase(it->second.used);
    index_.erase(it);
}

void ImageDiskCache::evict_locked() {
    while (total_ > max_bytes_ && !used_.empty()) {
        std::string name = used_.back();
        used_.pop_back();
        auto it = index_.find(name);
        total_ -= it->second.size;
        index_.erase(it);
        std::error_code ec;
        fs::remove(path(name), ec);
    }
}

int64_t ImageDiskCache::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}
