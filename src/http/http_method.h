// Request method numbers shared by both request routines and the verbs they send.
#pragma once

namespace velpic {

enum HttpMethod : int {
    kHttpGet = 0,
    kHttpPost = 1,
    kHttpHead = 2,
    kHttpPut = 3,
    kHttpOptions = 4,
    kHttpDelete = 5,
    kHttpTrace = 6,
    kHttpConnect = 7,
    // Beyond the original table: the forges' APIs move a branch with PATCH.
    kHttpPatch = 8,
};

// Any number outside 0..8 sends "GET".
inline const char* http_method_verb(int method) {
    static const char* const verbs[] = {"GET",    "POST",  "HEAD",    "PUT",  "OPTIONS",
                                        "DELETE", "TRACE", "CONNECT", "PATCH"};
    return method >= 0 && method <= 8 ? verbs[method] : "GET";
}

} // namespace velpic
