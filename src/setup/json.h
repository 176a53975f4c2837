// JSON scanned by hand, for the release documents: std::regex recurses once per character of a
// match and brings the process down on a long enough value. Every walker here ends a string at
// the same place: the first quote that no backslash escapes.
#pragma once

#include <string>
#include <vector>

namespace setup {

size_t SkipSpace(const std::string& text, size_t at);
// Where the string that opens at `at` ends (its closing quote), or npos.
size_t StringEnd(const std::string& text, size_t at);
// The brace of the innermost object around `at`, found by a walk that knows strings and
// nesting; npos when `at` lies inside a string, in an array, in no object, or past a closer
// that does not fit.
size_t OpeningBrace(const std::string& text, size_t at);
// Every non-empty string value of "name": "value" in the body, in order, taken as it stands
// (escapes are not undone); keys receives where each key starts.
std::vector<std::string> JsonStrings(const std::string& body, const std::string& name,
                                     std::vector<size_t>* keys = nullptr);
// Whether a document of unknown length ends where its JSON does. WinHTTP ends a chunked body
// that stops without its last chunk as if it were whole (Wine's does, for one), and GitHub's API
// answers are chunked: a release document cut short must not read as a release without assets.
// Bodies that are no JSON object or array are taken as they came.
bool WholeJson(const std::string& body);

} // namespace setup
