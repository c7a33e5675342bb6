// A bound on the nesting of a JSON answer (see json_depth.h).
#include "bridges/json_depth.h"

namespace bridges {

bool json_too_deep(const std::string& body, size_t max) {
    size_t depth = 0;
    bool in_string = false, escaped = false;
    for (char c : body) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace bridges
