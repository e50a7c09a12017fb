#include "monitoring/monitor.hpp"

#include <algorithm>

#include "monitoring/monitor_text.hpp"
#include "common/fixed_text.hpp"
#include "common/json_text.hpp"

namespace sarn::monitoring {

namespace {

std::string two_decimals(double v) { return common::fixed_text(v, 2); }

// The running mean after one more sample: (n * mean + sample) / (n + 1),
// with the new count converted as the counter holds it (wrapped).
double next_mean(std::uint64_t old_count, double mean, double sample) {
    const std::uint64_t new_count = old_count + 1;
    return (static_cast<double>(old_count) * mean + sample) / static_cast<double>(new_count);
}

double throughput(std::uint64_t operations, std::uint64_t bytes, double avg_latency_ms) {
    if (operations == 0) return 0.0;
    return (static_cast<double>(bytes) / 1000000.0) / (avg_latency_ms / 1000.0);
}

}  // namespace

double read_throughput_mbps(const PerformanceMetrics& m) {
    return throughput(m.read_operations, m.total_bytes_read, m.avg_read_latency_ms);
}

double write_throughput_mbps(const PerformanceMetrics& m) {
    return throughput(m.write_operations, m.total_bytes_written, m.avg_write_latency_ms);
}

std::string render_metrics_json(const PerformanceMetrics& m) {
    std::string out = "{\n";
    auto entry = [&out](const char* key, const std::string& value, bool last = false) {
        out += "  \"";
        out += key;
        out += "\": ";
        out += value;
        out += last ? "\n" : ",\n";
    };
    entry("total_bytes_read", std::to_string(m.total_bytes_read));
    entry("total_bytes_written", std::to_string(m.total_bytes_written));
    entry("read_operations", std::to_string(m.read_operations));
    entry("write_operations", std::to_string(m.write_operations));
    entry("avg_read_latency_ms", two_decimals(m.avg_read_latency_ms));
    entry("avg_write_latency_ms", two_decimals(m.avg_write_latency_ms));
    entry("read_throughput_mbps", two_decimals(read_throughput_mbps(m)));
    entry("write_throughput_mbps", two_decimals(write_throughput_mbps(m)));
    entry("compression_ratio", two_decimals(m.compression_ratio));
    entry("peak_memory_bytes", std::to_string(m.peak_memory_bytes));
    entry("current_memory_bytes", std::to_string(m.current_memory_bytes));
    entry("rows_processed", std::to_string(m.rows_processed));
    entry("columns_processed", std::to_string(m.columns_processed));
    entry("cache_hit_rate", two_decimals(m.cache_hit_rate));
    entry("active_operations", std::to_string(m.active_operations));
    entry("total_errors", std::to_string(m.total_errors));
    // The timestamp is our own RFC 3339 text, which needs no escaping.
    entry("timestamp", "\"" + m.timestamp + "\"", true);
    out += "}";
    return out;
}

std::string render_prometheus(const PerformanceMetrics& m) {
    std::string out;
    auto line = [&out](const char* name, const std::string& value) {
        out += name;
        out += " {} ";
        out += value;
        out += '\n';
    };
    line("sarn_total_bytes_read_total", std::to_string(m.total_bytes_read));
    line("sarn_total_bytes_written_total", std::to_string(m.total_bytes_written));
    line("sarn_read_operations_total", std::to_string(m.read_operations));
    line("sarn_write_operations_total", std::to_string(m.write_operations));
    line("sarn_avg_read_latency_ms", two_decimals(m.avg_read_latency_ms));
    line("sarn_avg_write_latency_ms", two_decimals(m.avg_write_latency_ms));
    line("sarn_compression_ratio_percent", two_decimals(m.compression_ratio));
    line("sarn_current_memory_bytes", std::to_string(m.current_memory_bytes));
    line("sarn_cache_hit_rate", two_decimals(m.cache_hit_rate));
    line("sarn_total_errors", std::to_string(m.total_errors));
    return out;
}

const char* alert_type_name(AlertType type) {
    switch (type) {
        case AlertType::HighLatency: return "HighLatency";
        case AlertType::LowThroughput: return "LowThroughput";
        case AlertType::HighMemoryUsage: return "HighMemoryUsage";
        case AlertType::HighErrorRate: return "HighErrorRate";
        case AlertType::LowCacheHitRate: return "LowCacheHitRate";
    }
    throw MonitorFault("unknown alert type");
}

std::string render_alerts_json(const std::vector<PerformanceAlert>& alerts) {
    std::string out = "[";
    for (std::size_t i = 0; i < alerts.size(); ++i) {
        const PerformanceAlert& a = alerts[i];
        if (i > 0) out += ',';
        out += "{\"alert_type\":";
        common::append_json_string(out, alert_type_name(a.alert_type));
        out += ",\"message\":";
        common::append_json_string(out, a.message);
        out += ",\"timestamp\":";
        common::append_json_string(out, a.timestamp);
        out += ",\"metric_value\":";
        out += json_number_text(a.metric_value);
        out += ",\"threshold\":";
        out += json_number_text(a.threshold);
        out += '}';
    }
    out += ']';
    return out;
}

// ------------------------------------------------------------ the monitor

PerformanceMonitor::PerformanceMonitor() { metrics_.timestamp = local_timestamp_now(); }

void PerformanceMonitor::add_alert(AlertType type, std::string message, double metric_value, double threshold) {
    // The moment is taken before the alerts lock: a failing time lookup
    // then poisons only the metrics lock, which the caller holds.
    std::string timestamp = local_timestamp_now();
    PoisonMutex::Guard lock(alerts_lock_);
    checkpoint(FaultSite::AlertsLocked);
    alerts_.push_back(PerformanceAlert{type, std::move(message), std::move(timestamp), metric_value, threshold});
}

void PerformanceMonitor::record_read(std::uint64_t bytes, double duration_ms) {
    PoisonMutex::Guard lock(metrics_lock_);
    PerformanceMetrics& m = metrics_;
    m.total_bytes_read += bytes;
    const std::uint64_t n = m.read_operations;
    m.read_operations = n + 1;
    m.avg_read_latency_ms = next_mean(n, m.avg_read_latency_ms, duration_ms);
    checkpoint(FaultSite::MetricsLocked);
    if (duration_ms > HIGH_LATENCY_MS) {
        add_alert(AlertType::HighLatency, "Read operation took " + two_decimals(duration_ms) + "ms", duration_ms,
                  HIGH_LATENCY_MS);
    }
}

void PerformanceMonitor::record_write(std::uint64_t bytes, double duration_ms) {
    PoisonMutex::Guard lock(metrics_lock_);
    PerformanceMetrics& m = metrics_;
    m.total_bytes_written += bytes;
    const std::uint64_t n = m.write_operations;
    m.write_operations = n + 1;
    m.avg_write_latency_ms = next_mean(n, m.avg_write_latency_ms, duration_ms);
    checkpoint(FaultSite::MetricsLocked);
}

void PerformanceMonitor::record_compression(std::uint64_t original_bytes, std::uint64_t compressed_bytes) {
    PoisonMutex::Guard lock(metrics_lock_);
    metrics_.compression_ratio =
        (1.0 - static_cast<double>(compressed_bytes) / static_cast<double>(original_bytes)) * 100.0;
    checkpoint(FaultSite::MetricsLocked);
}

void PerformanceMonitor::record_rows_columns(std::uint64_t rows, std::uint64_t columns) {
    PoisonMutex::Guard lock(metrics_lock_);
    metrics_.rows_processed += rows;
    metrics_.columns_processed += columns;
    checkpoint(FaultSite::MetricsLocked);
}

void PerformanceMonitor::update_memory(std::uint64_t current, std::uint64_t peak) {
    PoisonMutex::Guard lock(metrics_lock_);
    metrics_.current_memory_bytes = current;
    // The report replaces the peak; the stored one is not consulted.
    metrics_.peak_memory_bytes = std::max(current, peak);
    checkpoint(FaultSite::MetricsLocked);
    if (current > HIGH_MEMORY_BYTES) {
        const double value = static_cast<double>(current);
        add_alert(AlertType::HighMemoryUsage, "Memory usage: " + two_decimals(value / 1000000.0) + "MB", value,
                  static_cast<double>(HIGH_MEMORY_BYTES));
    }
}

void PerformanceMonitor::update_cache_stats(double hit_rate) {
    PoisonMutex::Guard lock(metrics_lock_);
    metrics_.cache_hit_rate = hit_rate;
    checkpoint(FaultSite::MetricsLocked);
    if (hit_rate < LOW_CACHE_HIT_RATE) {
        add_alert(AlertType::LowCacheHitRate, "Cache hit rate: " + two_decimals(hit_rate * 100.0) + "%", hit_rate,
                  LOW_CACHE_HIT_RATE);
    }
}

void PerformanceMonitor::record_error() {
    PoisonMutex::Guard lock(metrics_lock_);
    PerformanceMetrics& m = metrics_;
    m.total_errors += 1;
    const std::uint64_t operations = m.read_operations + m.write_operations;
    // No operations yet: the divisor is 0 and the rate +infinity.
    const double rate = static_cast<double>(m.total_errors) / static_cast<double>(operations);
    checkpoint(FaultSite::MetricsLocked);
    if (rate > HIGH_ERROR_RATE) {
        add_alert(AlertType::HighErrorRate, "Error rate: " + two_decimals(rate * 100.0) + "%", rate, HIGH_ERROR_RATE);
    }
}

PerformanceMetrics PerformanceMonitor::snapshot() {
    PoisonMutex::Guard lock(metrics_lock_);
    checkpoint(FaultSite::MetricsLocked);
    return metrics_;
}

std::string PerformanceMonitor::metrics_json() {
    PoisonMutex::Guard lock(metrics_lock_);
    checkpoint(FaultSite::MetricsLocked);
    return render_metrics_json(metrics_);
}

std::string PerformanceMonitor::prometheus_text() {
    PoisonMutex::Guard lock(metrics_lock_);
    checkpoint(FaultSite::MetricsLocked);
    return render_prometheus(metrics_);
}

std::vector<PerformanceAlert> PerformanceMonitor::alerts() {
    PoisonMutex::Guard lock(alerts_lock_);
    checkpoint(FaultSite::AlertsLocked);
    return alerts_;
}

std::string PerformanceMonitor::alerts_json() {
    // Serialised from a copy, so the lock is held only while copying.
    return render_alerts_json(alerts());
}

void PerformanceMonitor::clear_alerts() {
    PoisonMutex::Guard lock(alerts_lock_);
    checkpoint(FaultSite::AlertsLocked);
    alerts_.clear();
}

}  // namespace sarn::monitoring
