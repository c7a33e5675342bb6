// The Bluesky and blog checks (feeds.cpp; the inner handlers in answers.cpp),
// started every five minutes right after the live list; their answers are read
// on the network worker and reported on standard output only.
//
// Threads: fetchBsky and fetchBlog on the main thread; the inner handlers and
// the state they keep belong to the network worker.
#pragma once

#include <string>
#include <vector>

extern std::string previousBskyDate;    // createdAt of the newest post seen last (worker)
extern std::vector<std::string> blogs;  // guids of the feed seen last (worker)

void fetchBsky();                          // Queue the Bluesky request
void fetchBlog();                          // Queue the blog feed request
void fetchBsky_inner(std::string body);    // Worker: "new post!" when createdAt changed
void fetchBlog_inner(std::string body);    // Worker: "new blog: " lines when the guid count changed
