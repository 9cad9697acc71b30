// Reading the library's BSON documents in tests. The getters take dotted paths
// ("sensors.0.rate"). The ...At getters fail the test on a missing key or a value of another
// type; int32Or, boolOr and stringOr return the value they are given instead.
#pragma once

#include <gtest/gtest.h>

#include <bson/bson.h>

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::string> keys(const bson_t* document) {
    std::vector<std::string> out;
    bson_iter_t iter;
    if (bson_iter_init(&iter, document))
        while (bson_iter_next(&iter))
            out.emplace_back(bson_iter_key(&iter));
    return out;
}

inline bson_iter_t iterAt(const bson_t* document, const char* path) {
    bson_iter_t iter, found;
    if (!bson_iter_init(&iter, document) || !bson_iter_find_descendant(&iter, path, &found)) {
        ADD_FAILURE() << "missing key " << path;
        bson_iter_init(&found, document);
    }
    return found;
}

inline int32_t int32At(const bson_t* document, const char* path) {
    bson_iter_t it = iterAt(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_INT32) << path;
    return BSON_ITER_HOLDS_INT32(&it) ? bson_iter_int32(&it) : -12345;
}

inline double doubleAt(const bson_t* document, const char* path) {
    bson_iter_t it = iterAt(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_DOUBLE) << path;
    return BSON_ITER_HOLDS_DOUBLE(&it) ? bson_iter_double(&it) : -12345.0;
}

inline bool boolAt(const bson_t* document, const char* path) {
    bson_iter_t it = iterAt(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_BOOL) << path;
    return BSON_ITER_HOLDS_BOOL(&it) && bson_iter_bool(&it);
}

inline std::string stringAt(const bson_t* document, const char* path) {
    bson_iter_t it = iterAt(document, path);
    EXPECT_EQ(bson_iter_type(&it), BSON_TYPE_UTF8) << path;
    return BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

inline bool has(const bson_t* document, const char* path) {
    bson_iter_t iter, found;
    return bson_iter_init(&iter, document) && bson_iter_find_descendant(&iter, path, &found);
}

// Number of elements of an array (or keys of a document) at `path`.
inline int countAt(const bson_t* document, const char* path) {
    bson_iter_t it = iterAt(document, path);
    bson_iter_t child;
    if (!(BSON_ITER_HOLDS_ARRAY(&it) || BSON_ITER_HOLDS_DOCUMENT(&it)) || !bson_iter_recurse(&it, &child))
        return -1;
    int n = 0;
    while (bson_iter_next(&child))
        ++n;
    return n;
}

// Lenient lookups, for documents that may not hold the key yet: `otherwise` when the key is
// missing or of another type.
inline bool findPath(const bson_t* document, const char* path, bson_iter_t* found) {
    bson_iter_t iter;
    return bson_iter_init(&iter, document) && bson_iter_find_descendant(&iter, path, found);
}

inline int32_t int32Or(const bson_t* document, const char* path, int32_t otherwise) {
    bson_iter_t found;
    return findPath(document, path, &found) && BSON_ITER_HOLDS_INT32(&found) ? bson_iter_int32(&found) : otherwise;
}

inline bool boolOr(const bson_t* document, const char* path, bool otherwise) {
    bson_iter_t found;
    return findPath(document, path, &found) && BSON_ITER_HOLDS_BOOL(&found) ? bson_iter_bool(&found) : otherwise;
}

inline std::string stringOr(const bson_t* document, const char* path, const std::string& otherwise) {
    bson_iter_t found;
    return findPath(document, path, &found) && BSON_ITER_HOLDS_UTF8(&found)
               ? std::string(bson_iter_utf8(&found, nullptr))
               : otherwise;
}
