// The rule for slow answers trips exactly when a window of its length after the head holds
// fewer than its bytes, or when no head came in its time; checked against a direct count of
// every window, and at the edges.
#include "transfer/SlowAnswer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

namespace vt {
namespace {

constexpr SlowAnswerRule kRule{};  // 30 s, 1024 bytes in 30 s

struct Arrival {
    double at;
    uint64_t bytes;
};

// The first moment, up to `until`, at which a window (t - 30, t] with t >= head + 30 holds
// fewer than 1024 bytes, found by counting the window at each moment it can shrink.
std::optional<double> FirstShortWindow(double head, const std::vector<Arrival>& arrivals,
                                       double until) {
    std::vector<double> moments{head + kRule.windowSeconds};
    for (const Arrival& a : arrivals) {
        moments.push_back(a.at + kRule.windowSeconds);
    }
    std::sort(moments.begin(), moments.end());
    for (double t : moments) {
        if (t < head + kRule.windowSeconds || t > until) {
            continue;
        }
        uint64_t inWindow = 0;
        for (const Arrival& a : arrivals) {
            // In (t - 30, t]; added, not subtracted, so a window's own edge compares exactly.
            if (a.at + kRule.windowSeconds > t && a.at <= t) {
                inWindow += a.bytes;
            }
        }
        if (inWindow < kRule.windowBytes) {
            return t;
        }
    }
    return std::nullopt;
}

// When the watch trips, fed the arrivals in order with the body ending at `until`. Bytes there
// at the very deadline count, as the download reads what is there before it looks at the time.
std::optional<double> WatchTrips(double head, const std::vector<Arrival>& arrivals, double until) {
    AnswerWatch watch(kRule, 0);
    watch.HeadArrived(head);
    for (const Arrival& a : arrivals) {
        if (watch.Deadline() < a.at) {
            EXPECT_EQ(watch.Tripped(watch.Deadline()), SlowAnswer::TooFewBytes);
            EXPECT_EQ(watch.Tripped(std::nextafter(watch.Deadline(), 0.0)), SlowAnswer::None);
            return watch.Deadline();
        }
        watch.Arrived(a.bytes, a.at);
    }
    if (watch.Deadline() <= until) {
        return watch.Deadline();
    }
    return std::nullopt;
}

TEST(SlowAnswerRule, NoHeadWithinItsTimeAndNotBefore) {
    AnswerWatch watch(kRule, 100);
    EXPECT_EQ(watch.Deadline(), 130);
    EXPECT_EQ(watch.Tripped(129.999), SlowAnswer::None);
    EXPECT_EQ(watch.Tripped(130), SlowAnswer::NoHead);
    watch.HeadArrived(129.999);
    EXPECT_EQ(watch.Tripped(130), SlowAnswer::None) << "the body's windows start at the head";
    EXPECT_EQ(watch.Deadline(), 159.999);
}

TEST(SlowAnswerRule, TripsWhereAWindowFirstHoldsTooFewBytes) {
    struct Case {
        const char* what;
        std::vector<Arrival> arrivals;
        std::optional<double> trips;  // within 400 s
    };
    std::vector<Arrival> byteEveryFiftySeconds, byteEverySecond, hundredEveryFour, steady;
    for (int i = 1; i <= 8; ++i) {
        byteEveryFiftySeconds.push_back({50.0 * i, 1});
    }
    for (int i = 1; i <= 400; ++i) {
        byteEverySecond.push_back({1.0 * i, 1});
    }
    for (int i = 0; i < 100; ++i) {
        hundredEveryFour.push_back({4.0 * i, 100});
        steady.push_back({29.0 * i, 1100});
    }
    const std::vector<Case> cases{
        {"nothing after the head", {}, 30},
        {"1023 bytes at once", {{1, 1023}}, 30},
        {"1024 bytes at once", {{1, 1024}}, 31},
        {"a megabyte, then silence", {{2, 1 << 20}}, 32},
        {"a byte every 50 s", byteEveryFiftySeconds, 30},
        {"a byte a second", byteEverySecond, 30},
        {"100 bytes every 4 s", hundredEveryFour, 30},
        {"1100 bytes every 29 s", steady, std::nullopt},
        {"600, then 600 25 s later", {{10, 600}, {35, 600}}, 30},
        {"1000, then 600 24 s later", {{1, 1000}, {25, 600}}, 31},
        {"600 twice 20 s apart, then 1024 just in time", {{0, 600}, {20, 600}, {29.5, 1024}}, 59.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FirstShortWindow(0, c.arrivals, 400), c.trips) << "the reference itself";
        EXPECT_EQ(WatchTrips(0, c.arrivals, 400), c.trips);
    }
}

TEST(SlowAnswerRule, AgreesWithCountingEveryWindowForRandomPaces) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        std::vector<Arrival> arrivals;
        double at = 5;
        const int gapScale = 1 + static_cast<int>(random() % 40);
        const int sizeScale = 1 + static_cast<int>(random() % 2000);
        for (int i = 0; i < 60; ++i) {
            at += static_cast<double>(random() % (gapScale * 100)) / 100;
            arrivals.push_back({at, 1 + random() % sizeScale});
        }
        SCOPED_TRACE(round);
        EXPECT_EQ(WatchTrips(5, arrivals, at), FirstShortWindow(5, arrivals, at));
    }
}

TEST(SlowAnswerRule, TheLogNamesTheLimitThatTripped) {
    EXPECT_EQ(DescribeSlowAnswer(SlowAnswer::NoHead, kRule), L"no answer within 30 s");
    EXPECT_EQ(DescribeSlowAnswer(SlowAnswer::TooFewBytes, kRule), L"fewer than 1024 bytes in 30 s");
    const SlowAnswerRule shortened{3, 3, 1024};
    EXPECT_EQ(DescribeSlowAnswer(SlowAnswer::NoHead, shortened), L"no answer within 3 s");
    EXPECT_EQ(DescribeSlowAnswer(SlowAnswer::TooFewBytes, shortened),
              L"fewer than 1024 bytes in 3 s");
}

}  // namespace
}  // namespace vt
