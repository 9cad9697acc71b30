// The browser's network error table behind the load-error pages.
#include "host/shell/LoadErrorPages.h"
#include "host/shell/NetErrorList.h"

#include <gtest/gtest.h>

#include <set>

TEST(NetErrorList, SortedUniqueAndNegative) {
    std::set<int> codes;
    for (std::size_t i = 0; i < kNetErrors.size(); ++i) {
        const NetError& entry = kNetErrors[i];
        if (i > 0) {
            EXPECT_LT(kNetErrors[i - 1].name, entry.name) << "sorted, no name twice: " << entry.name;
        }
        EXPECT_TRUE(codes.insert(entry.code).second) << "code given twice: " << entry.code;
        EXPECT_LT(entry.code, 0) << entry.name;
        EXPECT_EQ(entry.name.find("ERR_"), std::string_view::npos) << entry.name;
        // Every entry is found through the same lookup the pages use.
        EXPECT_EQ(NetErrorCode("net::ERR_" + std::string(entry.name)), entry.code) << entry.name;
    }
    EXPECT_GE(kNetErrors.size(), 250u);
}

TEST(NetErrorList, WellKnownCodes) {
    const std::pair<const char*, int> known[] = {
        {"FAILED", -2},
        {"ABORTED", -3},
        {"FILE_NOT_FOUND", -6},
        {"BLOCKED_BY_CLIENT", -20},
        {"CONNECTION_REFUSED", -102},
        {"NAME_NOT_RESOLVED", -105},
        {"INTERNET_DISCONNECTED", -106},
        {"CERT_DATE_INVALID", -201},
        {"INVALID_URL", -300},
        {"DISALLOWED_URL_SCHEME", -301},
        {"UNKNOWN_URL_SCHEME", -302},
        {"TOO_MANY_REDIRECTS", -310},
        {"UNSAFE_PORT", -312},
        {"EMPTY_RESPONSE", -324},
        {"HTTP2_PROTOCOL_ERROR", -337},
        {"CACHE_MISS", -400},
        {"DNS_TIMED_OUT", -803},
    };
    for (const auto& [name, code] : known) {
        EXPECT_EQ(NetErrorCode(std::string("net::ERR_") + name), code) << name;
        EXPECT_EQ(NetErrorCode(std::string("ERR_") + name), code) << name;
    }
    EXPECT_EQ(NetErrorCode("net::ERR_SOMETHING_NEW"), -2);
    EXPECT_EQ(NetErrorCode("net::ERR_UNSAFE_POR"), -2);
    EXPECT_EQ(NetErrorCode("net::ERR_UNSAFE_PORTS"), -2);
    EXPECT_EQ(NetErrorCode(""), -2);
}
