#include "daemon/metrics/PrometheusText.h"

#include <cstdio>
#include <cstdlib>

namespace {

// A double as Prometheus reads it, shortest form that reads back the same.
std::string Number(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.17g", value);
    for (int digits = 1; digits < 17; ++digits) {
        char shorter[32];
        snprintf(shorter, sizeof(shorter), "%.*g", digits, value);
        if (std::strtod(shorter, nullptr) == value) return shorter;
    }
    return text;
}

// HELP text: backslash and newline escaped.
std::string EscapeHelp(const std::string& help) {
    std::string out;
    for (char c : help) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

}  // namespace

std::string PrometheusText::EscapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void PrometheusText::Family(const std::string& name, const char* type, const std::string& help) {
    text_ += "# HELP " + name + " " + EscapeHelp(help) + "\n# TYPE " + name + " " + type + "\n";
}

void PrometheusText::Write(const std::string& name, const Labels& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) text_ += ',';
            text_ += labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + '"';
        }
        text_ += '}';
    }
    text_ += ' ' + value + '\n';
}

void PrometheusText::Sample(const std::string& name, const Labels& labels, uint64_t value) {
    Write(name, labels, std::to_string(value));
}

void PrometheusText::Sample(const std::string& name, const Labels& labels, double value) {
    Write(name, labels, Number(value));
}

void PrometheusText::Histogram(const std::string& name, const Labels& labels, const std::vector<double>& bounds,
                               const std::vector<uint64_t>& buckets, double sum) {
    uint64_t cumulative = 0;
    Labels withBound = labels;
    withBound.emplace_back("le", "");
    for (size_t i = 0; i < buckets.size(); ++i) {
        cumulative += buckets[i];
        withBound.back().second = i < bounds.size() ? Number(bounds[i]) : "+Inf";
        Sample(name + "_bucket", withBound, cumulative);
    }
    Sample(name + "_sum", labels, sum);
    Sample(name + "_count", labels, cumulative);
}
