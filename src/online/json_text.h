// Reading the service's answers as JSON, and the UTF-8 text helpers the
// features share (answers.cpp). Pure functions of their arguments, any thread;
// they depend only on the JSON library, so the fuzz targets drive them without
// a window.
//
// Diagnostics go through net_log (net/net.h): whole flushed lines from any thread.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

// A JSON string's contents; any other value as compact JSON (numbers as digits,
// null as "null"). Invalid UTF-8 never throws: it is replaced by U+FFFD.
std::string str(const json& value);
// Answers nested deeper than this are refused as unreadable: every later step
// (comparing, printing, copying a value) is recursive, so depth is stack.
inline constexpr int JSON_MAX_DEPTH = 64;
// Whether no array or object in text opens more than limit levels deep (a scan
// that skips strings; says nothing about whether text is valid JSON).
bool json_nesting_within(const std::string& text, int limit);
// Parse a service answer; throws (json::parse_error, or std::runtime_error for
// nesting deeper than JSON_MAX_DEPTH) when it is not readable.
json json_parse_answer(const std::string& body);
// The same without exceptions: a discarded value when it is not readable.
json json_read_answer(const std::string& body);
// Member key of an object; null when value is not an object or lacks key.
const json& json_member(const json& value, const std::string& key);
// text as a JSON string that can always be serialised: invalid UTF-8 bytes
// become U+FFFD (a body stored in CONFIG must not stop the configuration's save).
json json_text(const std::string& text);
// Append code point cp to s in UTF-8; out-of-range and surrogate values are dropped.
void utf8_append(std::string& s, int cp);
// Remove the last UTF-8 character of s (a whole multi-byte sequence); nothing when empty.
void utf8_pop_back(std::string& s);
// Split s into its characters (each a UTF-8 sequence; a stray byte is one character).
std::vector<std::string> utf8_split(const std::string& s);
