// Replays the rows of check_plan.txt: events on a fake clock (milliseconds)
// given to the plan of public-address checks, and what it then says.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "public_check.h"
#include "wire.h"

namespace {

struct Row {
    std::string name, events;
};

std::vector<Row> loadRows()
{
    std::vector<Row> rows;
    for (const std::string &line : tableLines(CHECK_PLAN_CASES)) {
        const size_t bar = line.find('|');
        rows.push_back({line.substr(0, line.find_last_not_of(' ', bar - 1) + 1), line.substr(bar + 1)});
    }
    return rows;
}

// A path that differs from another exactly when its name does.
Ipv4Path pathNamed(const std::string &name)
{
    Ipv4Path p;
    p.ifindex = 2;
    p.gateway = static_cast<uint32_t>(std::hash<std::string>()(name));
    return p;
}

std::string dueText(long long due) { return due == LLONG_MAX ? "never" : std::to_string(due); }

class CheckPlan : public ::testing::TestWithParam<Row> {};

// Each event is "T:what" or "T:what=value": T the time in ms.
TEST_P(CheckPlan, Row)
{
    std::istringstream words(GetParam().events);
    std::string word;
    long long period = 0;
    std::vector<std::string> events;
    while (words >> word) {
        if (word.rfind("period=", 0) == 0)
            period = std::stoll(word.substr(7));
        else
            events.push_back(word);
    }
    PublicCheck check(period);
    bool news = false;
    for (const std::string &e : events) {
        const size_t colon = e.find(':'), eq = e.find('=');
        ASSERT_NE(colon, std::string::npos) << e;
        const long long t = std::stoll(e.substr(0, colon));
        const std::string what = e.substr(colon + 1, eq == std::string::npos ? std::string::npos : eq - colon - 1);
        const std::string value = eq == std::string::npos ? "" : e.substr(eq + 1);
        if (what == "nat" || what == "lan") {
            check.setBehindNat(what == "nat", t);
        } else if (what == "baseline") {
            check.pathSeen(pathNamed(value));
        } else if (what == "path") {
            check.eventsSettled(pathNamed(value));
        } else if (what == "announce") {
            check.announcement(t);
        } else if (what == "start") {
            check.checkStarted(t);
        } else if (what == "nostart") {
            check.checkNotStarted(t);
        } else if (what == "attempt") {
            check.attemptLearning(t);
        } else if (what == "gateway" || what == "server") {
            PublicView v;
            v.address = static_cast<uint32_t>(std::stoul(value));
            v.source = what == "gateway" ? PublicSource::Gateway : PublicSource::Server;
            news = check.learnedView(v, t);
        } else if (what == "nothing") {
            news = check.learnedNothing(t);
        } else if (what == "due") {
            EXPECT_EQ(dueText(check.dueAt(t)), value) << e;
        } else if (what == "learns") {
            EXPECT_EQ(check.attemptLearns(t) ? "yes" : "no", value) << e;
        } else if (what == "news") {
            EXPECT_EQ(news ? "yes" : "no", value) << e;
        } else {
            FAIL() << "unknown event " << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CheckPlan, ::testing::ValuesIn(loadRows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

} // namespace
