// The decoded images' disk cache: one PNG file per image key and scale in one
// folder (EmoteOptions::image_dir), its files together bounded in bytes
// (image_cache_mb); the least recently used go first. What a start finds in
// the folder is kept, oldest modification time first in line to go, and a
// read marks a file used (its modification time too, for the next start).
//
// Threads: any; one lock guards the index. A write lands under a temporary
// name and is renamed into place, so a reader never sees half a file.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

class ImageDiskCache {
public:
    // Indexes the PNG files in dir (evicting down to max_bytes); the first write makes a missing dir.
    ImageDiskCache(std::string dir, int64_t max_bytes);
    // The bytes kept under name ("KEY@SCALE"), nullopt when none are.
    std::optional<std::string> read(const std::string& name);
    // Keeps bytes under name, then drops the least recently used past the bound.
    void write(const std::string& name, const std::string& bytes);
    int64_t bytes() const;  // the files' total size now

private:
    struct Entry {
        int64_t size = 0;                       // bytes of the file
        std::list<std::string>::iterator used;  // its place in used_
    };
    std::string path(const std::string& name) const;  // dir/name.png
    void forget_locked(const std::string& name);  // its entry out of the index, the file left
    void evict_locked();

    std::string dir_;
    int64_t max_bytes_;
    mutable std::mutex mutex_;                        // guards what follows
    int64_t total_ = 0;                               // sum of index_'s sizes
    std::list<std::string> used_;                     // names, most recently used first
    std::unordered_map<std::string, Entry> index_;  // every file the cache holds
};
