// JSON scanned by hand, for the release documents.
#include "json.h"

namespace setup {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

size_t SkipSpace(const std::string& text, size_t at) {
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    return at;
}

size_t StringEnd(const std::string& text, size_t at) {
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i;
    }
    return std::string::npos;
}

size_t OpeningBrace(const std::string& text, size_t at) {
    std::vector<size_t> open;
    for (size_t i = 0; i < at && i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            i = StringEnd(text, i);
            if (i == std::string::npos || i >= at)
                return std::string::npos;
        } else if (c == '{' || c == '[') {
            open.push_back(i);
        } else if (c == '}' || c == ']') {
            if (open.empty() || text[open.back()] != (c == '}' ? '{' : '['))
                return std::string::npos;
            open.pop_back();
        }
    }
    return open.empty() || text[open.back()] != '{' ? std::string::npos : open.back();
}

std::vector<std::string> JsonStrings(const std::string& body, const std::string& name,
                                     std::vector<size_t>* keys) {
    const std::string key = "\"" + name + "\"";
    std::vector<std::string> values;
    size_t at = 0;
    while ((at = body.find(key, at)) != std::string::npos) {
        size_t p = SkipSpace(body, at + key.size());
        if (p < body.size() && body[p] == ':') {
            p = SkipSpace(body, p + 1);
            const size_t close =
                p < body.size() && body[p] == '"' ? StringEnd(body, p) : std::string::npos;
            if (close != std::string::npos && close > p + 1) {
                values.push_back(body.substr(p + 1, close - p - 1));
                if (keys)
                    keys->push_back(at);
                at = close + 1;
                continue;
            }
        }
        ++at;
    }
    return values;
}

bool WholeJson(const std::string& body) {
    size_t i = SkipSpace(body, 0);
    if (i == body.size() || (body[i] != '{' && body[i] != '['))
        return true;
    int depth = 0;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') {
            i = StringEnd(body, i);
            if (i == std::string::npos)
                return false;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return SkipSpace(body, i + 1) == body.size();
        }
    }
    return false;
}

} // namespace setup
