#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel {

struct ChartSeries {
    std::string label;
    std::string colour;          // an SVG colour, such as "#1f77b4"
    std::vector<double> values;  // one per position, from position 0
};

// One panel: its series share the panel's axes.
struct ChartPanel {
    std::string title;
    std::string y_label;
    std::vector<ChartSeries> series;
};

// A standalone SVG document of stacked line charts over positions, one panel above the other,
// each with its axes, ticks, axis labels and a legend. Non-finite values are left out of the
// lines. Throws std::invalid_argument "chart has no panels" and "chart series is empty".
std::string svgLineChart(std::string_view title, std::string_view x_label,
                         const std::vector<ChartPanel>& panels);

}  // namespace Nuvexis::Core::Tarvel
