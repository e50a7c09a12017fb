// PerformanceMonitor: an in-memory collector of figures its caller reports.
//
// It measures nothing itself.  Every figure arrives through a recording
// operation; four of them test the reported value against a fixed threshold
// and append an alert.  The figures leave as JSON text, as a snapshot (for
// the host's dictionary) and as Prometheus text; the alerts as compact JSON.
//
// Arithmetic is deliberately raw: counters wrap modulo 2^64 (2^32 for the two
// 32-bit counts) and the doubles follow IEEE arithmetic without guards, so a
// zero divisor shows up as an infinity or NaN in the exports.
//
// Thread safety: every operation may be called from any thread.  The metrics
// and the alert list sit behind a lock each; when both are needed the
// metrics lock is taken first.  An operation that fails part-way poisons the
// locks it holds, and every later operation that needs a poisoned lock fails
// with MonitorFault (POISON_MESSAGE).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "monitoring/poison_mutex.hpp"

namespace sarn::monitoring {

struct PerformanceMetrics {
    std::uint64_t total_bytes_read = 0;
    std::uint64_t total_bytes_written = 0;
    std::uint64_t read_operations = 0;
    std::uint64_t write_operations = 0;
    double avg_read_latency_ms = 0.0;  // running mean over all reads
    double avg_write_latency_ms = 0.0;  // running mean over all writes
    double compression_ratio = 0.0;  // percent saved by the last compression reported
    std::uint64_t peak_memory_bytes = 0;
    std::uint64_t current_memory_bytes = 0;
    std::uint64_t rows_processed = 0;
    std::uint64_t columns_processed = 0;
    double cache_hit_rate = 0.0;  // the last rate reported, as given
    std::uint32_t active_operations = 0;  // nothing changes it
    std::uint32_t total_errors = 0;
    std::string timestamp;  // local RFC 3339 text of the monitor's creation
};

// Megabytes (10^6 bytes) per second over the mean latency of one operation;
// 0.0 before the first read (write).
double read_throughput_mbps(const PerformanceMetrics& m);
double write_throughput_mbps(const PerformanceMetrics& m);

// The exports of a metrics record, byte for byte.
std::string render_metrics_json(const PerformanceMetrics& m);
std::string render_prometheus(const PerformanceMetrics& m);

enum class AlertType { HighLatency, LowThroughput, HighMemoryUsage, HighErrorRate, LowCacheHitRate };

// "HighLatency" etc.
const char* alert_type_name(AlertType type);

struct PerformanceAlert {
    AlertType alert_type;
    std::string message;
    std::string timestamp;  // local RFC 3339 text of the moment it was raised
    double metric_value;
    double threshold;
};

// The list as compact JSON text, oldest first: "[]" when empty.
std::string render_alerts_json(const std::vector<PerformanceAlert>& alerts);

// Thresholds.  The comparisons are strict; a NaN never crosses one.
inline constexpr double HIGH_LATENCY_MS = 1000.0;
inline constexpr std::uint64_t HIGH_MEMORY_BYTES = 1000000000;
inline constexpr double HIGH_ERROR_RATE = 0.05;
inline constexpr double LOW_CACHE_HIT_RATE = 0.3;

// Where a test can make an operation fail while it holds locks.
enum class FaultSite {
    MetricsLocked,  // holding the metrics lock (and not the alerts lock)
    AlertsLocked,  // holding the alerts lock (and the metrics lock too when raising an alert)
};

class PerformanceMonitor {
public:
    // All figures zero, no alerts, the creation moment as timestamp.
    // Throws MonitorFault if the local time cannot be determined.
    PerformanceMonitor();
    PerformanceMonitor(const PerformanceMonitor&) = delete;
    PerformanceMonitor& operator=(const PerformanceMonitor&) = delete;

    // Recording.  Nothing is validated: NaN, infinities and negative values
    // are stored and averaged as given.
    void record_read(std::uint64_t bytes, double duration_ms);  // may raise HighLatency
    void record_write(std::uint64_t bytes, double duration_ms);
    void record_compression(std::uint64_t original_bytes, std::uint64_t compressed_bytes);
    void record_rows_columns(std::uint64_t rows, std::uint64_t columns);
    void update_memory(std::uint64_t current, std::uint64_t peak);  // may raise HighMemoryUsage
    void update_cache_stats(double hit_rate);  // may raise LowCacheHitRate
    void record_error();  // may raise HighErrorRate

    // Reading.  The snapshot is a copy taken under the metrics lock; the two
    // texts are rendered while it is held, so each is one consistent view.
    PerformanceMetrics snapshot();
    std::string metrics_json();
    std::string prometheus_text();

    // The alert list (alerts lock only).
    std::vector<PerformanceAlert> alerts();
    std::string alerts_json();
    void clear_alerts();

    // For tests only: `hook` runs at every point where an operation holds a
    // lock; if it throws, the operation fails there as an internal fault
    // would.  Set it before sharing the monitor between threads.
    void set_fault_hook(std::function<void(FaultSite)> hook) { fault_hook_ = std::move(hook); }

private:
    // Appends an alert; called with the metrics lock held.
    void add_alert(AlertType type, std::string message, double metric_value, double threshold);
    void checkpoint(FaultSite site) {
        if (fault_hook_) fault_hook_(site);
    }

    PoisonMutex metrics_lock_;
    PerformanceMetrics metrics_;  // guarded by metrics_lock_
    PoisonMutex alerts_lock_;
    std::vector<PerformanceAlert> alerts_;  // guarded by alerts_lock_
    std::function<void(FaultSite)> fault_hook_;
};

}  // namespace sarn::monitoring
