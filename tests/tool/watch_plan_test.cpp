// Replays the rows of watch_plan.txt: events on a fake clock (milliseconds)
// given to the watcher's plan and its plan of public-address checks, and
// what they then say.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "watch_plan.h"
#include "wire.h"

namespace {

struct Row {
    std::string name, events;
};

std::vector<Row> loadRows()
{
    std::vector<Row> rows;
    for (const std::string &line : tableLines(WATCH_PLAN_CASES)) {
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

const char *const WORK_NAMES[] = {"signal", "settle", "retry", "refresh", "check", "nothing"};

std::string nextText(const Due &d)
{
    const std::string name = WORK_NAMES[static_cast<int>(d.work)];
    return d.work == Work::Nothing ? name : name + "@" + std::to_string(d.at);
}

class WatchPlanTable : public ::testing::TestWithParam<Row> {};

// Each event is "T:what" or "T:what=value": T the time in ms.
TEST_P(WatchPlanTable, Row)
{
    std::istringstream words(GetParam().events);
    std::string word;
    long long period = 0, refresh = 3600;
    std::vector<std::string> events;
    while (words >> word) {
        if (word.rfind("period=", 0) == 0)
            period = std::stoll(word.substr(7));
        else if (word.rfind("refresh=", 0) == 0)
            refresh = std::stoll(word.substr(8));
        else
            events.push_back(word);
    }
    WatchPlan plan(refresh, period);
    PublicCheck &check = plan.check;
    bool news = false;
    for (const std::string &e : events) {
        const size_t colon = e.find(':'), eq = e.find('=');
        ASSERT_NE(colon, std::string::npos) << e;
        const long long t = std::stoll(e.substr(0, colon));
        const std::string what = e.substr(colon + 1, eq == std::string::npos ? std::string::npos : eq - colon - 1);
        const std::string value = eq == std::string::npos ? "" : e.substr(eq + 1);
        if (what == "begin") {
            plan.begin(t);
        } else if (what == "hup") {
            plan.signalled();
        } else if (what == "kernel") {
            plan.kernelEvent(t);
        } else if (what == "take") {
            const Due d = plan.next(t);
            ASSERT_LE(d.at, t) << e << ": nothing due";
            plan.taken(d.work);
        } else if (what == "registered" || what == "failed" || what == "refused") {
            plan.attemptEnded(what == "registered" ? Outcome::Registered
                              : what == "failed"   ? Outcome::Failed
                                                   : Outcome::Refused,
                              t);
        } else if (what == "notstarted") {
            plan.attemptNotStarted(t);
        } else if (what == "next") {
            EXPECT_EQ(nextText(plan.next(t)), value) << e;
        } else if (what == "nat" || what == "lan") {
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

INSTANTIATE_TEST_SUITE_P(Table, WatchPlanTable, ::testing::ValuesIn(loadRows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

} // namespace
