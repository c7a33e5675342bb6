// The Bluesky and blog checks, started every five minutes by the mascot right
// after the live list; their answers are read on the worker (answers.cpp) and
// reported on standard output only.
#include "net/endpoints.h"
#include "net/net.h"
#include "online/feeds.h"

void fetchBsky() { fetch(endpoint_bluesky_feed(), "GET", fetchBsky_inner); }

void fetchBlog() { fetch(endpoint_blog_feed(), "GET", fetchBlog_inner); }
