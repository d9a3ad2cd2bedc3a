#include "tarvel/reference/svg_chart.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel {
namespace {

constexpr double width = 960.0;
constexpr double panel_height = 300.0;
constexpr double left = 90.0;
constexpr double right = 30.0;
constexpr double top_margin = 80.0;
constexpr double panel_gap = 80.0;

std::string number(double value, const char* format = "%.2f") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten giving about `count` intervals over [0, high].
double niceStep(double high, int count) {
    const double raw = high / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) return m * power;
    }
    return 10.0 * power;
}

// Tick labels: plain for ordinary magnitudes, exponent notation for the very small or large.
std::string tickLabel(double value, double step) {
    if (value == 0.0) return "0";
    if (step < 1e-3 || value >= 1e6) return number(value, "%.3g");
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return number(value, format);
}

}  // namespace

std::string svgLineChart(std::string_view title, std::string_view x_label,
                         const std::vector<ChartPanel>& panels) {
    if (panels.empty()) throw std::invalid_argument("chart has no panels");
    std::size_t positions = 0;
    for (const ChartPanel& panel : panels) {
        for (const ChartSeries& s : panel.series) {
            if (s.values.empty()) throw std::invalid_argument("chart series is empty");
            positions = std::max(positions, s.values.size());
        }
    }
    const double plot_width = width - left - right;
    const double height =
        top_margin + static_cast<double>(panels.size()) * (panel_height + panel_gap);
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width, "%.0f") +
                      "\" height=\"" + number(height, "%.0f") + "\" viewBox=\"0 0 " +
                      number(width, "%.0f") + " " + number(height, "%.0f") +
                      "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"13\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + number(width / 2) + "\" y=\"30\" text-anchor=\"middle\" " +
           "font-size=\"18\" font-weight=\"bold\">" + escape(title) + "</text>\n";

    // Positions along x: ticks at a nice step from 0 to the last position.
    const double last = static_cast<double>(positions > 1 ? positions - 1 : 1);
    const double x_step = niceStep(last, 10);
    const auto x_of = [&](double p) { return left + p / last * plot_width; };

    for (std::size_t k = 0; k < panels.size(); ++k) {
        const ChartPanel& panel = panels[k];
        const double top = top_margin + static_cast<double>(k) * (panel_height + panel_gap);
        const double bottom = top + panel_height;
        double high = 0.0;
        for (const ChartSeries& s : panel.series) {
            for (const double v : s.values) {
                if (std::isfinite(v)) high = std::max(high, v);
            }
        }
        if (!(high > 0.0)) high = 1.0;
        const double y_step = niceStep(high, 5);
        const double y_top = std::ceil(high / y_step) * y_step;
        const auto y_of = [&](double v) { return bottom - v / y_top * panel_height; };

        svg += "<text x=\"" + number(left) + "\" y=\"" + number(top - 10) +
               "\" font-size=\"15\" font-weight=\"bold\">" + escape(panel.title) + "</text>\n";
        // Grid and y ticks.
        for (double v = 0.0; v <= y_top * (1 + 1e-9); v += y_step) {
            const std::string y = number(y_of(v));
            svg += "<line x1=\"" + number(left) + "\" y1=\"" + y + "\" x2=\"" +
                   number(left + plot_width) + "\" y2=\"" + y +
                   "\" stroke=\"#e0e0e0\" stroke-width=\"1\"/>\n";
            svg += "<text x=\"" + number(left - 8) + "\" y=\"" + y +
                   "\" text-anchor=\"end\" dominant-baseline=\"middle\">" + tickLabel(v, y_step) +
                   "</text>\n";
        }
        // x ticks.
        for (double p = 0.0; p <= last * (1 + 1e-9); p += x_step) {
            const std::string x = number(x_of(p));
            svg += "<line x1=\"" + x + "\" y1=\"" + number(bottom) + "\" x2=\"" + x + "\" y2=\"" +
                   number(bottom + 5) + "\" stroke=\"black\"/>\n";
            svg += "<text x=\"" + x + "\" y=\"" + number(bottom + 20) +
                   "\" text-anchor=\"middle\">" + tickLabel(p, x_step) + "</text>\n";
        }
        // Axes.
        svg += "<line x1=\"" + number(left) + "\" y1=\"" + number(top) + "\" x2=\"" + number(left) +
               "\" y2=\"" + number(bottom) + "\" stroke=\"black\"/>\n";
        svg += "<line x1=\"" + number(left) + "\" y1=\"" + number(bottom) + "\" x2=\"" +
               number(left + plot_width) + "\" y2=\"" + number(bottom) + "\" stroke=\"black\"/>\n";
        svg += "<text x=\"" + number(left + plot_width / 2) + "\" y=\"" + number(bottom + 42) +
               "\" text-anchor=\"middle\">" + escape(x_label) + "</text>\n";
        const double label_y = top + panel_height / 2;
        svg += "<text x=\"22\" y=\"" + number(label_y) +
               "\" text-anchor=\"middle\" transform=\"rotate(-90 22 " + number(label_y) + ")\">" +
               escape(panel.y_label) + "</text>\n";
        // Lines: one path per series, broken where a value is not finite.
        for (const ChartSeries& s : panel.series) {
            std::string path;
            bool pen_down = false;
            for (std::size_t p = 0; p < s.values.size(); ++p) {
                if (!std::isfinite(s.values[p])) {
                    pen_down = false;
                    continue;
                }
                path += (pen_down ? " L" : " M") + number(x_of(static_cast<double>(p))) + " " +
                        number(y_of(s.values[p]));
                pen_down = true;
            }
            svg += "<path d=\"" + path + "\" fill=\"none\" stroke=\"" + escape(s.colour) +
                   "\" stroke-width=\"1.5\"/>\n";
            if (s.values.size() == 1 && std::isfinite(s.values[0])) {
                svg += "<circle cx=\"" + number(x_of(0)) + "\" cy=\"" + number(y_of(s.values[0])) +
                       "\" r=\"3\" fill=\"" + escape(s.colour) + "\"/>\n";
            }
        }
        // Legend, top right inside the panel.
        const double legend_width = 250.0;
        const double legend_x = left + plot_width - legend_width - 10;
        const double legend_height = 10.0 + 20.0 * static_cast<double>(panel.series.size());
        svg += "<rect x=\"" + number(legend_x) + "\" y=\"" + number(top + 10) + "\" width=\"" +
               number(legend_width) + "\" height=\"" + number(legend_height) +
               "\" fill=\"white\" fill-opacity=\"0.85\" stroke=\"#999\"/>\n";
        for (std::size_t i = 0; i < panel.series.size(); ++i) {
            const double y = top + 25 + 20.0 * static_cast<double>(i);
            svg += "<line x1=\"" + number(legend_x + 10) + "\" y1=\"" + number(y) + "\" x2=\"" +
                   number(legend_x + 40) + "\" y2=\"" + number(y) + "\" stroke=\"" +
                   escape(panel.series[i].colour) + "\" stroke-width=\"2.5\"/>\n";
            svg += "<text x=\"" + number(legend_x + 48) + "\" y=\"" + number(y) +
                   "\" dominant-baseline=\"middle\">" + escape(panel.series[i].label) + "</text>\n";
        }
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace Nuvexis::Core::Tarvel
