// PerformanceMonitor: recording arithmetic, alert rules around each
// threshold, the exports byte for byte, lock poisoning and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "monitoring/monitor.hpp"

namespace {

using namespace sarn::monitoring;

const double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// The metrics JSON text of `m` with every figure spelled out, for exact
// comparisons; only the figures a test sets differ from a fresh monitor.
struct JsonFigures {
    std::string bytes_read = "0", bytes_written = "0", reads = "0", writes = "0";
    std::string read_latency = "0.00", write_latency = "0.00";
    std::string read_mbps = "0.00", write_mbps = "0.00", ratio = "0.00";
    std::string peak = "0", current = "0", rows = "0", columns = "0";
    std::string cache = "0.00", errors = "0";
};

std::string expected_json(const JsonFigures& f, const std::string& timestamp) {
    return "{\n"
           "  \"total_bytes_read\": " +
           f.bytes_read +
           ",\n"
           "  \"total_bytes_written\": " +
           f.bytes_written +
           ",\n"
           "  \"read_operations\": " +
           f.reads +
           ",\n"
           "  \"write_operations\": " +
           f.writes +
           ",\n"
           "  \"avg_read_latency_ms\": " +
           f.read_latency +
           ",\n"
           "  \"avg_write_latency_ms\": " +
           f.write_latency +
           ",\n"
           "  \"read_throughput_mbps\": " +
           f.read_mbps +
           ",\n"
           "  \"write_throughput_mbps\": " +
           f.write_mbps +
           ",\n"
           "  \"compression_ratio\": " +
           f.ratio +
           ",\n"
           "  \"peak_memory_bytes\": " +
           f.peak +
           ",\n"
           "  \"current_memory_bytes\": " +
           f.current +
           ",\n"
           "  \"rows_processed\": " +
           f.rows +
           ",\n"
           "  \"columns_processed\": " +
           f.columns +
           ",\n"
           "  \"cache_hit_rate\": " +
           f.cache +
           ",\n"
           "  \"active_operations\": 0,\n"
           "  \"total_errors\": " +
           f.errors +
           ",\n"
           "  \"timestamp\": \"" +
           timestamp +
           "\"\n"
           "}";
}

// ------------------------------------------------------------- recording

TEST(MonitorRecording, FreshMonitorIsAllZero) {
    PerformanceMonitor mon;
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(m.total_bytes_read + m.total_bytes_written + m.read_operations + m.write_operations +
                  m.peak_memory_bytes + m.current_memory_bytes + m.rows_processed + m.columns_processed,
              0u);
    EXPECT_EQ(m.active_operations, 0u);
    EXPECT_EQ(m.total_errors, 0u);
    EXPECT_EQ(m.avg_read_latency_ms, 0.0);
    EXPECT_EQ(m.compression_ratio, 0.0);
    EXPECT_EQ(read_throughput_mbps(m), 0.0);
    EXPECT_EQ(write_throughput_mbps(m), 0.0);
    EXPECT_FALSE(m.timestamp.empty());
    EXPECT_EQ(mon.metrics_json(), expected_json({}, m.timestamp));
    EXPECT_EQ(mon.prometheus_text(),
              "sarn_total_bytes_read_total {} 0\n"
              "sarn_total_bytes_written_total {} 0\n"
              "sarn_read_operations_total {} 0\n"
              "sarn_write_operations_total {} 0\n"
              "sarn_avg_read_latency_ms {} 0.00\n"
              "sarn_avg_write_latency_ms {} 0.00\n"
              "sarn_compression_ratio_percent {} 0.00\n"
              "sarn_current_memory_bytes {} 0\n"
              "sarn_cache_hit_rate {} 0.00\n"
              "sarn_total_errors {} 0\n");
    EXPECT_EQ(mon.alerts_json(), "[]");
}

TEST(MonitorRecording, ReadsAverageAndDeriveThroughput) {
    PerformanceMonitor mon;
    mon.record_read(1000, 500.0);
    mon.record_read(3000, 1500.0);
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(m.total_bytes_read, 4000u);
    EXPECT_EQ(m.read_operations, 2u);
    EXPECT_EQ(m.avg_read_latency_ms, 1000.0);
    EXPECT_EQ(read_throughput_mbps(m), 0.004);
    ASSERT_EQ(mon.alerts().size(), 1u);  // from the second call only
    EXPECT_EQ(mon.alerts()[0].metric_value, 1500.0);

    JsonFigures f;
    f.bytes_read = "4000";
    f.reads = "2";
    f.read_latency = "1000.00";
    f.read_mbps = "0.00";
    EXPECT_EQ(mon.metrics_json(), expected_json(f, m.timestamp));
    EXPECT_NE(mon.prometheus_text().find("\nsarn_avg_read_latency_ms {} 1000.00\n"), std::string::npos);

    // The mean follows the formula step by step, not a sum divided once.
    PerformanceMonitor three;
    for (double d : {0.1, 0.2, 0.3}) three.record_read(1, d);
    const double expected = ((0.1 * 1.0 + 0.2) / 2.0 * 2.0 + 0.3) / 3.0;
    EXPECT_EQ(three.snapshot().avg_read_latency_ms, expected);
}

TEST(MonitorRecording, WritesAverageAndNeverAlert) {
    PerformanceMonitor mon;
    mon.record_write(10, 5000.0);
    mon.record_write(2000000, 1000.0);
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(m.total_bytes_written, 2000010u);
    EXPECT_EQ(m.write_operations, 2u);
    EXPECT_EQ(m.avg_write_latency_ms, 3000.0);
    EXPECT_EQ(write_throughput_mbps(m), 2.00001 / 3.0);
    EXPECT_EQ(m.read_operations, 0u);
    EXPECT_EQ(mon.alerts_json(), "[]");
}

TEST(MonitorRecording, CountersWrap) {
    PerformanceMonitor mon;
    mon.record_read(U64_MAX, 1.0);
    mon.record_read(1, 1.0);
    mon.record_write(U64_MAX, 1.0);
    mon.record_write(2, 1.0);
    mon.record_rows_columns(U64_MAX, 5);
    mon.record_rows_columns(3, U64_MAX);
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(m.total_bytes_read, 0u);
    EXPECT_EQ(m.total_bytes_written, 1u);
    EXPECT_EQ(m.rows_processed, 2u);
    EXPECT_EQ(m.columns_processed, 4u);
    EXPECT_EQ(m.read_operations, 2u);
}

TEST(MonitorRecording, CompressionRatioIsReplaced) {
    const struct {
        std::uint64_t original, compressed;
        double ratio;
        const char* text;
    } cases[] = {
        {1000, 250, 75.0, "75.00"},
        {100, 150, -50.0, "-50.00"},
        {3, 1, (1.0 - 1.0 / 3.0) * 100.0, "66.67"},
        {5, 0, 100.0, "100.00"},
        {0, 7, -INF, "-inf"},
        {0, 0, std::nan(""), "NaN"},  // 0/0 has its sign bit set on x86; still "NaN"
    };
    PerformanceMonitor mon;
    for (const auto& c : cases) {
        mon.record_compression(c.original, c.compressed);
        const PerformanceMetrics m = mon.snapshot();
        if (std::isnan(c.ratio)) {
            EXPECT_TRUE(std::isnan(m.compression_ratio));
        } else {
            EXPECT_EQ(m.compression_ratio, c.ratio) << c.original << "/" << c.compressed;
        }
        const std::string prom = mon.prometheus_text();
        EXPECT_NE(prom.find(std::string("sarn_compression_ratio_percent {} ") + c.text + "\n"), std::string::npos)
            << prom;
        EXPECT_NE(mon.metrics_json().find(std::string("\"compression_ratio\": ") + c.text + ",\n"), std::string::npos);
    }
}

TEST(MonitorRecording, MemoryReplacesBothGauges) {
    PerformanceMonitor mon;
    mon.update_memory(10, 5);
    EXPECT_EQ(mon.snapshot().current_memory_bytes, 10u);
    EXPECT_EQ(mon.snapshot().peak_memory_bytes, 10u);
    mon.update_memory(3, 4);  // lowers the peak: the old one is not consulted
    EXPECT_EQ(mon.snapshot().current_memory_bytes, 3u);
    EXPECT_EQ(mon.snapshot().peak_memory_bytes, 4u);
    mon.update_memory(10, 5);
    const std::string json = mon.metrics_json();
    EXPECT_LT(json.find("\"peak_memory_bytes\": 10,"), json.find("\"current_memory_bytes\": 10,"));
    EXPECT_NE(mon.prometheus_text().find("\nsarn_current_memory_bytes {} 10\n"), std::string::npos);
}

TEST(MonitorRecording, NonFiniteFiguresShowInTheExports) {
    PerformanceMonitor mon;
    mon.record_read(5, 0.0);  // mean latency 0: infinite throughput
    mon.record_write(0, 0.0);  // 0 bytes over 0 ms: NaN
    mon.update_cache_stats(-0.0);
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(read_throughput_mbps(m), INF);
    EXPECT_TRUE(std::isnan(write_throughput_mbps(m)));
    JsonFigures f;
    f.bytes_read = "5";
    f.reads = "1";
    f.writes = "1";
    f.read_mbps = "inf";
    f.write_mbps = "NaN";
    f.cache = "-0.00";
    EXPECT_EQ(mon.metrics_json(), expected_json(f, m.timestamp));
    EXPECT_NE(mon.prometheus_text().find("\nsarn_cache_hit_rate {} -0.00\n"), std::string::npos);

    // A NaN latency makes the running mean NaN for good.
    mon.record_read(1, std::nan(""));
    mon.record_read(1, 1.0);
    EXPECT_TRUE(std::isnan(mon.snapshot().avg_read_latency_ms));
    EXPECT_NE(mon.prometheus_text().find("sarn_avg_read_latency_ms {} NaN\n"), std::string::npos);
}

TEST(MonitorRecording, ExportsDoNotChangeAnything) {
    PerformanceMonitor mon;
    mon.record_read(7, 1234.5);
    mon.update_cache_stats(0.856);
    const std::string json = mon.metrics_json();
    const std::string prom = mon.prometheus_text();
    const std::string alerts = mon.alerts_json();
    EXPECT_NE(json.find("\"cache_hit_rate\": 0.86,"), std::string::npos);
    EXPECT_NE(prom.find("sarn_cache_hit_rate {} 0.86\n"), std::string::npos);
    EXPECT_EQ(mon.snapshot().cache_hit_rate, 0.856);
    EXPECT_EQ(mon.metrics_json(), json);
    EXPECT_EQ(mon.prometheus_text(), prom);
    EXPECT_EQ(mon.alerts_json(), alerts);
}

// ---------------------------------------------------------------- alerts

struct AlertCase {
    const char* what;
    std::function<void(PerformanceMonitor&)> op;
    // Empty when no alert is expected.
    std::string json_after_timestamp;  // what follows the timestamp string
    const char* type = nullptr;
    const char* message = nullptr;
};

TEST(MonitorAlerts, RulesAtAndAroundEachThreshold) {
    const double above_latency = std::nextafter(1000.0, INF);
    const double below_cache = std::nextafter(0.3, 0.0);
    const std::vector<AlertCase> cases = {
        {"latency at threshold", [](PerformanceMonitor& m) { m.record_read(0, 1000.0); }, ""},
        {"latency just above", [=](PerformanceMonitor& m) { m.record_read(0, above_latency); },
         ",\"metric_value\":1000.0000000000001,\"threshold\":1000.0}", "HighLatency", "Read operation took 1000.00ms"},
        {"latency 1500", [](PerformanceMonitor& m) { m.record_read(1, 1500.0); },
         ",\"metric_value\":1500.0,\"threshold\":1000.0}", "HighLatency", "Read operation took 1500.00ms"},
        {"latency tie rounds to even", [](PerformanceMonitor& m) { m.record_read(1, 1000.125); },
         ",\"metric_value\":1000.125,\"threshold\":1000.0}", "HighLatency", "Read operation took 1000.12ms"},
        {"latency infinite", [](PerformanceMonitor& m) { m.record_read(1, INF); },
         ",\"metric_value\":null,\"threshold\":1000.0}", "HighLatency", "Read operation took infms"},
        {"latency NaN", [](PerformanceMonitor& m) { m.record_read(1, std::nan("")); }, ""},
        {"write latency never alerts", [](PerformanceMonitor& m) { m.record_write(10, 5000.0); }, ""},
        {"memory at threshold", [](PerformanceMonitor& m) { m.update_memory(1000000000, 5000000000); }, ""},
        {"memory just above", [](PerformanceMonitor& m) { m.update_memory(1000000001, 0); },
         ",\"metric_value\":1000000001.0,\"threshold\":1000000000.0}", "HighMemoryUsage", "Memory usage: 1000.00MB"},
        {"memory 2.5 GB", [](PerformanceMonitor& m) { m.update_memory(2500000000, 0); },
         ",\"metric_value\":2500000000.0,\"threshold\":1000000000.0}", "HighMemoryUsage", "Memory usage: 2500.00MB"},
        {"memory rounds the binary value",  // 1000.005 is 1000.00499999... in binary
         [](PerformanceMonitor& m) { m.update_memory(1000005000, 0); },
         ",\"metric_value\":1000005000.0,\"threshold\":1000000000.0}", "HighMemoryUsage", "Memory usage: 1000.00MB"},
        {"memory largest", [](PerformanceMonitor& m) { m.update_memory(U64_MAX, 0); },
         ",\"metric_value\":1.8446744073709552e+19,\"threshold\":1000000000.0}", "HighMemoryUsage",
         "Memory usage: 18446744073709.55MB"},
        {"cache at threshold", [](PerformanceMonitor& m) { m.update_cache_stats(0.3); }, ""},
        {"cache just below", [=](PerformanceMonitor& m) { m.update_cache_stats(below_cache); },
         ",\"metric_value\":0.29999999999999993,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: 30.00%"},
        {"cache 0.29", [](PerformanceMonitor& m) { m.update_cache_stats(0.29); },
         ",\"metric_value\":0.29,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: 29.00%"},
        {"cache 0.125", [](PerformanceMonitor& m) { m.update_cache_stats(0.125); },
         ",\"metric_value\":0.125,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: 12.50%"},
        {"cache zero", [](PerformanceMonitor& m) { m.update_cache_stats(0.0); },
         ",\"metric_value\":0.0,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: 0.00%"},
        {"cache negative zero", [](PerformanceMonitor& m) { m.update_cache_stats(-0.0); },
         ",\"metric_value\":-0.0,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: -0.00%"},
        {"cache tiny", [](PerformanceMonitor& m) { m.update_cache_stats(1e-7); },
         ",\"metric_value\":1e-7,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: 0.00%"},
        {"cache minus infinity", [](PerformanceMonitor& m) { m.update_cache_stats(-INF); },
         ",\"metric_value\":null,\"threshold\":0.3}", "LowCacheHitRate", "Cache hit rate: -inf%"},
        {"cache NaN", [](PerformanceMonitor& m) { m.update_cache_stats(std::nan("")); }, ""},
        {"cache above one", [](PerformanceMonitor& m) { m.update_cache_stats(1.5); }, ""},
        {"error before any operation", [](PerformanceMonitor& m) { m.record_error(); },
         ",\"metric_value\":null,\"threshold\":0.05}", "HighErrorRate", "Error rate: inf%"},
        {"5th error in 100 reads",
         [](PerformanceMonitor& m) {
             for (int i = 0; i < 100; ++i) m.record_read(1, 1.0);
             for (int i = 0; i < 5; ++i) m.record_error();
         },
         ""},
        {"6th error in 100 operations",
         [](PerformanceMonitor& m) {
             for (int i = 0; i < 60; ++i) m.record_read(1, 1.0);
             for (int i = 0; i < 40; ++i) m.record_write(1, 1.0);
             for (int i = 0; i < 6; ++i) m.record_error();
         },
         ",\"metric_value\":0.06,\"threshold\":0.05}", "HighErrorRate", "Error rate: 6.00%"},
        {"error rate one in three",
         [](PerformanceMonitor& m) {
             for (int i = 0; i < 3; ++i) m.record_write(1, 1.0);
             m.record_error();
         },
         ",\"metric_value\":0.3333333333333333,\"threshold\":0.05}", "HighErrorRate", "Error rate: 33.33%"},
        {"compression and rows never alert",
         [](PerformanceMonitor& m) {
             m.record_compression(0, 5);
             m.record_rows_columns(U64_MAX, U64_MAX);
         },
         ""},
    };
    for (const AlertCase& c : cases) {
        SCOPED_TRACE(c.what);
        PerformanceMonitor mon;
        c.op(mon);
        const std::vector<PerformanceAlert> alerts = mon.alerts();
        if (c.json_after_timestamp.empty()) {
            EXPECT_TRUE(alerts.empty());
            EXPECT_EQ(mon.alerts_json(), "[]");
            continue;
        }
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_STREQ(alert_type_name(alerts[0].alert_type), c.type);
        EXPECT_EQ(alerts[0].message, c.message);
        EXPECT_EQ(mon.alerts_json(), std::string("[{\"alert_type\":\"") + c.type + "\",\"message\":\"" + c.message +
                                         "\",\"timestamp\":\"" + alerts[0].timestamp + "\"" + c.json_after_timestamp +
                                         "]");
    }
}

TEST(MonitorAlerts, ListKeepsOrderUntilCleared) {
    PerformanceMonitor mon;
    mon.record_read(1, 2000.0);
    mon.update_memory(2000000000, 0);
    mon.record_read(1, 3000.0);
    std::vector<PerformanceAlert> alerts = mon.alerts();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].message, "Read operation took 2000.00ms");
    EXPECT_EQ(alerts[1].alert_type, AlertType::HighMemoryUsage);
    EXPECT_EQ(alerts[2].message, "Read operation took 3000.00ms");
    const std::string json = mon.alerts_json();
    EXPECT_EQ(json.front(), '[');
    EXPECT_NE(json.find("},{\"alert_type\":\"HighMemoryUsage\""), std::string::npos);
    // Compact: the only blanks are the eight inside the three messages.
    EXPECT_EQ(std::count(json.begin(), json.end(), ' '), 8);

    mon.clear_alerts();
    EXPECT_EQ(mon.alerts_json(), "[]");
    EXPECT_EQ(mon.snapshot().read_operations, 2u);  // the metrics are untouched
    mon.record_read(1, 4000.0);
    EXPECT_EQ(mon.alerts().size(), 1u);
    EXPECT_STREQ(alert_type_name(AlertType::LowThroughput), "LowThroughput");
}

// -------------------------------------------------------------- poisoning

struct Injected : std::runtime_error {
    Injected() : std::runtime_error("injected fault") {}
};

// Throws once, the first time `site` is reached.
std::function<void(FaultSite)> fail_once_at(FaultSite site) {
    auto armed = std::make_shared<bool>(true);
    return [armed, site](FaultSite at) {
        if (at == site && *armed) {
            *armed = false;
            throw Injected();
        }
    };
}

void expect_poisoned(const std::function<void()>& op, const char* what) {
    try {
        op();
        ADD_FAILURE() << what << " succeeded on a poisoned lock";
    } catch (const MonitorFault& e) {
        EXPECT_STREQ(e.what(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }") << what;
    }
}

using Op = std::pair<const char*, std::function<void(PerformanceMonitor&)>>;

std::vector<Op> metrics_operations() {
    return {
        {"record_read", [](PerformanceMonitor& m) { m.record_read(1, 1.0); }},
        {"record_write", [](PerformanceMonitor& m) { m.record_write(1, 1.0); }},
        {"record_compression", [](PerformanceMonitor& m) { m.record_compression(2, 1); }},
        {"record_rows_columns", [](PerformanceMonitor& m) { m.record_rows_columns(1, 1); }},
        {"update_memory", [](PerformanceMonitor& m) { m.update_memory(1, 1); }},
        {"update_cache_stats", [](PerformanceMonitor& m) { m.update_cache_stats(0.9); }},
        {"record_error", [](PerformanceMonitor& m) { m.record_error(); }},
        {"snapshot", [](PerformanceMonitor& m) { m.snapshot(); }},
        {"metrics_json", [](PerformanceMonitor& m) { m.metrics_json(); }},
        {"prometheus_text", [](PerformanceMonitor& m) { m.prometheus_text(); }},
    };
}

TEST(MonitorPoisoning, FailureUnderTheMetricsLockPoisonsOnlyIt) {
    PerformanceMonitor mon;
    mon.record_read(1, 2000.0);
    mon.set_fault_hook(fail_once_at(FaultSite::MetricsLocked));
    EXPECT_THROW(mon.record_rows_columns(5, 6), Injected);
    for (const Op& op : metrics_operations()) {
        expect_poisoned([&] { op.second(mon); }, op.first);
    }
    // It stays poisoned.
    expect_poisoned([&] { mon.snapshot(); }, "snapshot again");
    // The alert list is behind its own, sound lock.
    EXPECT_EQ(mon.alerts().size(), 1u);
    mon.clear_alerts();
    EXPECT_EQ(mon.alerts_json(), "[]");
}

TEST(MonitorPoisoning, AlertsLockPoisonSpreadsWhenAnAlertIsRaised) {
    PerformanceMonitor mon;
    mon.record_read(1, 2000.0);
    mon.set_fault_hook(fail_once_at(FaultSite::AlertsLocked));
    EXPECT_THROW(mon.alerts_json(), Injected);  // fails while holding the alerts lock alone
    expect_poisoned([&] { mon.alerts_json(); }, "alerts_json");
    expect_poisoned([&] { mon.clear_alerts(); }, "clear_alerts");
    expect_poisoned([&] { mon.alerts(); }, "alerts");

    // Operations that raise no alert keep working on the sound metrics lock.
    mon.record_write(10, 9999.0);
    mon.record_read(1, 5.0);
    mon.update_memory(5, 5);
    mon.update_cache_stats(0.5);
    EXPECT_EQ(mon.snapshot().read_operations, 2u);
    EXPECT_NE(mon.metrics_json().find("\"write_operations\": 1,"), std::string::npos);

    // The next alert meets the poisoned alerts lock while holding the metrics
    // lock, so the metrics lock is poisoned as well.
    expect_poisoned([&] { mon.update_cache_stats(0.1); }, "update_cache_stats raising");
    for (const Op& op : metrics_operations()) {
        expect_poisoned([&] { op.second(mon); }, op.first);
    }
}

TEST(MonitorPoisoning, FailureWhileAppendingAnAlertPoisonsBothLocks) {
    PerformanceMonitor mon;
    mon.set_fault_hook(fail_once_at(FaultSite::AlertsLocked));
    EXPECT_THROW(mon.update_memory(2000000000, 0), Injected);
    expect_poisoned([&] { mon.alerts_json(); }, "alerts_json");
    expect_poisoned([&] { mon.record_write(1, 1.0); }, "record_write");
}

// ------------------------------------------------------------ concurrency

TEST(MonitorConcurrency, NoLostUpdatesAcrossThreads) {
    PerformanceMonitor mon;
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&mon, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                mon.record_read(3, t == 0 && i % 100 == 0 ? 2000.0 : 10.0);
                mon.record_write(5, 10.0);
                mon.record_rows_columns(1, 2);
                if (i % 10 == 0) mon.record_error();
                if (i % 500 == 0) {
                    mon.alerts_json();
                    mon.metrics_json();
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    const PerformanceMetrics m = mon.snapshot();
    EXPECT_EQ(m.read_operations, std::uint64_t{THREADS * ROUNDS});
    EXPECT_EQ(m.total_bytes_read, std::uint64_t{3 * THREADS * ROUNDS});
    EXPECT_EQ(m.total_bytes_written, std::uint64_t{5 * THREADS * ROUNDS});
    EXPECT_EQ(m.rows_processed, std::uint64_t{THREADS * ROUNDS});
    EXPECT_EQ(m.columns_processed, std::uint64_t{2 * THREADS * ROUNDS});
    EXPECT_EQ(m.total_errors, std::uint32_t{THREADS * ROUNDS / 10});
    std::size_t latency_alerts = 0;
    for (const PerformanceAlert& a : mon.alerts()) {
        if (a.alert_type == AlertType::HighLatency) ++latency_alerts;
    }
    EXPECT_EQ(latency_alerts, std::size_t{ROUNDS / 100});
}

}  // namespace
