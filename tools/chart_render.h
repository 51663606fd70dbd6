// An x-y chart drawn with cairo (SVG, PNG or PDF by file suffix): measured
// points against calculated curves, for the fit of a binary pair.
#pragma once

#include <cairo.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ternival::cli {

struct ChartSeries {
    enum Style { Line, Dots, Circles } style = Line;
    std::string label;
    int colour = 0;  // index into a small palette
    std::vector<std::pair<double, double>> points;
    // Line: consecutive points are joined; a NaN point breaks the line.
};

struct Chart {
    std::string title, x_label, y_label;
    double x_min = 0.0, x_max = 1.0;  // the y range follows the data
    std::vector<ChartSeries> series;
    std::vector<std::string> notes;  // lines under the title
};

// Throws std::runtime_error when the suffix is unknown or cairo fails; the
// picture is written beside `path` and renamed into it.
void RenderChart(const Chart& chart, const std::string& path);

// A picture of width x height points painted by `paint`, written to `path`
// as SVG, PNG or PDF by its suffix: beside it first, then renamed into it, so
// a failed write never leaves a truncated picture under that name.
// `finish`, when given, works on the finished file before the rename.
// Throws std::invalid_argument for an unknown suffix, std::runtime_error
// when cairo or the file system fails.
void WritePicture(const std::string& path, double width, double height, const std::function<void(cairo_t*)>& paint,
                  const std::function<void(const std::string&)>& finish = {});

}  // namespace ternival::cli
