#include "admin/metrics_report.h"
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>

namespace {

std::string label_value(const std::string& value)
{
    std::string out(2 * value.size(), '\0');
    out.resize(append_label_value(out.data(), 0, value.data(), (i64)value.size()));
    return out;
}

TEST(AppendLabelValue, EscapesBackslashQuoteAndLineFeedOnly)
{
    EXPECT_EQ(label_value("1.0.6"), "1.0.6");
    EXPECT_EQ(label_value("a\\b\"c\nd\te\r"), "a\\\\b\\\"c\\nd\te\r");
    EXPECT_EQ(label_value("\n\n\"\""), "\\n\\n\\\"\\\"");
}

std::string exposition(const MetricsSnapshot& snapshot)
{
    std::string out(k_metrics_report_size, '\0');
    out.resize(build_metrics_text(out.data(), snapshot));
    return out;
}

// Every family's HELP and TYPE come once, before its samples, and every sample belongs to
// the family last announced.
TEST(BuildMetricsText, FamiliesAreAnnouncedOnceBeforeTheirSamples)
{
    MetricsSnapshot snapshot {};
    snapshot.totals.commands[k_result_ok] = 4;
    snapshot.totals.commands[k_result_seccomp] = 2;
    snapshot.totals.refused[k_refused_queue_full] = 9;
    snapshot.queue_capacity = 32;
    std::istringstream lines(exposition(snapshot));
    std::map<std::string, std::string> types;
    std::map<std::string, std::string> values;
    std::string family;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(types.count(family), 0u) << family;
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size() + 1), family + " ");
            types[family] = line.substr(8 + family.size());
            continue;
        }
        EXPECT_EQ(line.rfind(family, 0), 0u) << line;
        values[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    }
    EXPECT_EQ(types["cindervox_commands_total"], "counter");
    EXPECT_EQ(types["cindervox_runs_queued"], "gauge");
    EXPECT_EQ(types["cindervox_run_duration_seconds"], "histogram");
    EXPECT_EQ(values["cindervox_commands_total{result=\"ok\"}"], "4");
    EXPECT_EQ(values["cindervox_seccomp_kills_total"], "2");
    EXPECT_EQ(values["cindervox_refusals_total{kind=\"queue_full\"}"], "9");
    EXPECT_EQ(values["cindervox_refusals_total{kind=\"background_full\"}"], "0");
    EXPECT_EQ(values["cindervox_runs_queue_capacity"], "32");
    EXPECT_EQ(values["cindervox_build_info{version=\"1.0.6\"}"], "1");
}

TEST(BuildMetricsText, DurationBucketsAreCumulativeWithSumInSeconds)
{
    MetricsSnapshot snapshot {};
    snapshot.totals.durations[duration_bucket(3)] += 1;
    snapshot.totals.durations[duration_bucket(700)] += 2;
    snapshot.totals.durations[duration_bucket(7200000)] += 1;
    snapshot.totals.duration_sum_ms = 7201403;
    std::string text = exposition(snapshot);
    std::string expected = "cindervox_run_duration_seconds_bucket{le=\"0.01\"} 1\n"
                           "cindervox_run_duration_seconds_bucket{le=\"0.05\"} 1\n"
                           "cindervox_run_duration_seconds_bucket{le=\"0.1\"} 1\n"
                           "cindervox_run_duration_seconds_bucket{le=\"0.25\"} 1\n"
                           "cindervox_run_duration_seconds_bucket{le=\"0.5\"} 1\n"
                           "cindervox_run_duration_seconds_bucket{le=\"1\"} 3\n";
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_NE(text.find("cindervox_run_duration_seconds_bucket{le=\"3600\"} 3\n"
                        "cindervox_run_duration_seconds_bucket{le=\"+Inf\"} 4\n"
                        "cindervox_run_duration_seconds_sum 7201.403\n"
                        "cindervox_run_duration_seconds_count 4\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.size() - 1), "\n");
}

TEST(BuildMetricsText, WidestValuesFitTheComputedWorstCase)
{
    MetricsSnapshot snapshot {};
    for (u64& n : snapshot.totals.commands)
        n = ~(u64)0;
    for (u64& n : snapshot.totals.refused)
        n = ~(u64)0;
    for (u64& n : snapshot.totals.durations)
        n = ~(u64)0;
    snapshot.totals.duration_sum_ms = snapshot.totals.tokens_in = snapshot.totals.tokens_out = ~(u64)0;
    snapshot.running = snapshot.background = snapshot.queued = snapshot.queue_capacity = snapshot.connections = snapshot.agents =
        snapshot.workspace_bytes = snapshot.resident_bytes = snapshot.start_time = -k_i64_max - 1;
    std::string out(k_metrics_report_size + 64, '\xAA');
    i64 len = build_metrics_text(out.data(), snapshot);
    EXPECT_LE(len, metrics_text_max());
    EXPECT_GT(len, metrics_text_max() * 9 / 10);
    EXPECT_LE(metrics_text_max(), k_metrics_report_size);
    EXPECT_EQ(out[k_metrics_report_size], '\xAA');
    EXPECT_NE(out.find("cindervox_commands_total{result=\"ok\"} 9223372036854775807\n"), std::string::npos);
}

TEST(ParseStatmResident, TakesTheSecondField)
{
    EXPECT_EQ(parse_statm_resident("2553 249 187 33 0 280 0\n", 24), 249);
    EXPECT_EQ(parse_statm_resident("2553 0 0\n", 9), 0);
    EXPECT_EQ(parse_statm_resident("2553", 4), -1);
    EXPECT_EQ(parse_statm_resident("2553 x", 6), -1);
    EXPECT_EQ(parse_statm_resident("", 0), -1);
}

} // namespace
