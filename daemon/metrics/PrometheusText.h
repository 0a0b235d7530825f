// PrometheusText: writes the Prometheus text exposition format (version
// 0.0.4): per family one HELP and one TYPE line, then its samples with
// their labels. Label values are escaped (backslash, double quote, newline),
// so share paths and other texts from outside cannot break a line.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class PrometheusText {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;
    static constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

    // Starts a family; type: counter, gauge or histogram.
    void Family(const std::string& name, const char* type, const std::string& help);
    void Sample(const std::string& name, const Labels& labels, uint64_t value);
    void Sample(const std::string& name, const Labels& labels, double value);
    // A histogram's samples from its buckets (not cumulative, the last one
    // above every bound) and bounds in seconds: _bucket per bound and +Inf,
    // _sum, _count.
    void Histogram(const std::string& name, const Labels& labels, const std::vector<double>& bounds,
                   const std::vector<uint64_t>& buckets, double sum);

    const std::string& Text() const { return text_; }

    static std::string EscapeLabelValue(const std::string& value);

private:
    void Write(const std::string& name, const Labels& labels, const std::string& value);

    std::string text_;
};
