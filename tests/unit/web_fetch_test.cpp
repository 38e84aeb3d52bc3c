// Fetching one HTTP resource: request flags, the shared internet session, and
// what the caller's buffer holds afterwards.
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class WebFetchTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        g_internetHandle = NULL;
    }

    int Fetch(const std::string& url, int capacity = 1000) {
        buffer_.assign(static_cast<size_t>(capacity) + 16, '#');
        memcpy(&buffer_[0], url.c_str(), url.size() + 1);
        return FetchUrl(&buffer_[0], capacity);
    }
    // The buffer up to its first NUL, or all `capacity` bytes.
    std::string Text() const { return std::string(buffer_.c_str()); }

    std::string buffer_;
};

// A URL that names neither vendor domain, whatever the build's domains are.
std::string ForeignUrl() {
    for (const char* url : {"http://x.invalid/a.txt", "http://127.0.0.1/a.txt", "http://q/"}) {
        if (strstr(url, TALLYWISE_WEB_DOMAIN) == NULL && strstr(url, TALLYWISE_SECOND_DOMAIN) == NULL) {
            return url;
        }
    }
    return "";
}

std::string UpperCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST_F(WebFetchTest, VendorDomainsAnywhereInTheUrlBypassTheCache) {
    std::string foreign = ForeignUrl();
    ASSERT_FALSE(foreign.empty());
    struct {
        std::string url;
        DWORD flags;
    } cases[] = {
        {TALLYWISE_CONFIG_URL, 0x84040600},
        {"http://" TALLYWISE_SECOND_DOMAIN "/meterobj1.txt", 0x84040600},
        {foreign + "?from=" TALLYWISE_WEB_DOMAIN, 0x84040600},
        {foreign + "/" TALLYWISE_SECOND_DOMAIN "/x", 0x84040600},
        {foreign, 0x00040600},
    };
    for (const auto& c : cases) {
        ResetFake();
        EXPECT_EQ(Fetch(c.url), 4) << c.url;
        ASSERT_EQ(fake.requests.size(), 1u) << c.url;
        EXPECT_EQ(fake.requests[0].url, c.url);
        EXPECT_EQ(fake.requests[0].flags, c.flags) << c.url;
    }

    // The domain test is case-sensitive.
    std::string shouted = foreign + "?from=" + UpperCase(TALLYWISE_WEB_DOMAIN);
    if (shouted.find(TALLYWISE_WEB_DOMAIN) == std::string::npos &&
        shouted.find(TALLYWISE_SECOND_DOMAIN) == std::string::npos) {
        ResetFake();
        Fetch(shouted);
        EXPECT_EQ(fake.requests.at(0).flags, 0x00040600u);
    }
}

TEST_F(WebFetchTest, OpensItsOwnSessionAndClosesEverythingAfterwards) {
    fake.bodies = {"site body"};
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 9);

    EXPECT_EQ(Text(), "site body");
    EXPECT_EQ(EventsStartingWith("open"), std::vector<std::string>{"open TallywiseInstallProgram h1"});
    EXPECT_EQ(fake.requests.at(0).agent, "TallywiseInstallProgram");
    EXPECT_EQ(EventsStartingWith("close"), (std::vector<std::string>{"close h2", "close h1"}));
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(WebFetchTest, SessionLeftInTheSlotIsUsedAndClosed) {
    g_internetHandle = fake.NewHandle("internet", "TallywiseInstallation");

    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 4);

    EXPECT_TRUE(EventsStartingWith("open").empty());
    EXPECT_EQ(fake.requests.at(0).agent, "TallywiseInstallation");
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(WebFetchTest, EachFailureLeavesTheSlotAsTheNextCallerExpects) {
    // No session could be opened: nothing to close, the URL still in the buffer.
    fake.failingInternetOpens = {1};
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 0);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(Text(), TALLYWISE_CONFIG_URL);

    // The URL could not be opened: the session stays for the next call.
    ResetFake();
    fake.openUrlFailures = 1;
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 0);
    ASSERT_NE(g_internetHandle, nullptr);
    EXPECT_EQ(fake.OpenHandles("internet"), 1);
    EXPECT_EQ(Text(), TALLYWISE_CONFIG_URL);
    // ... and the retry goes out on it.
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 4);
    EXPECT_EQ(fake.requests.at(1).internet, fake.requests.at(0).internet);
    EXPECT_EQ(g_internetHandle, nullptr);

    // A read failed: both handles closed, nothing returned.
    ResetFake();
    g_internetHandle = NULL;
    fake.readFailures = 1;
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 0);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(WebFetchTest, ReadFailingAfterEarlierReadsYieldsNothing) {
    // Three chunks arrive, then the connection breaks: a partial body is no body.
    fake.bodies = {std::string(100, 'b')};
    fake.readChunk = 10;
    fake.readFailures = 1;
    fake.readsBeforeFailure = 3;
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 0);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(WebFetchTest, BodyIsCutAtTheCapacityWithoutATerminator) {
    const int capacity = 200;  // room for the URL, which arrives in the same buffer
    for (size_t length : {size_t(199), size_t(200), size_t(201), size_t(2000)}) {
        ResetFake();
        std::string body(length, 'b');
        fake.bodies = {body};
        int expected = static_cast<int>(std::min<size_t>(length, capacity));

        EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL, capacity), expected) << length;

        EXPECT_EQ(buffer_.substr(0, static_cast<size_t>(expected)),
                  body.substr(0, static_cast<size_t>(expected)));
        // Zero behind a short body; nothing written past the capacity.
        EXPECT_EQ(buffer_.substr(static_cast<size_t>(expected), capacity - static_cast<size_t>(expected)),
                  std::string(capacity - static_cast<size_t>(expected), '\0'));
        EXPECT_EQ(buffer_.substr(capacity), std::string(16, '#')) << length;
    }
}

TEST_F(WebFetchTest, EmptyBodyAndOverlongUrlYieldNothing) {
    fake.bodies = {""};
    EXPECT_EQ(Fetch(TALLYWISE_CONFIG_URL), 0);

    ResetFake();
    std::string url = "http://" TALLYWISE_WEB_HOST "/";
    url += std::string(200 - url.size(), 'a');
    EXPECT_EQ(Fetch(url), 0);
    EXPECT_TRUE(fake.requests.empty());
}

}  // namespace
