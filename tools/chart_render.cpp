#include "chart_render.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>

namespace ternival::cli {

namespace {

constexpr double kWidth = 720.0, kHeight = 540.0;
constexpr double kLeft = 80.0, kRight = 560.0, kTop = 70.0, kBottom = 480.0;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};

void colour(cairo_t* cr, int k) {
    static constexpr double palette[][3] = {{0.1, 0.3, 0.75}, {0.8, 0.1, 0.1}, {0.0, 0.5, 0.25}, {0.45, 0.2, 0.6}};
    const auto& c = palette[static_cast<std::size_t>(k) % 4];
    cairo_set_source_rgb(cr, c[0], c[1], c[2]);
}

// A tick spacing of 1, 2 or 5 times a power of ten giving about six ticks.
double tickStep(double span) {
    const double raw = span / 6.0;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

void draw(cairo_t* cr, const Chart& c) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    double ymin = 1e300, ymax = -1e300;
    for (const auto& s : c.series)
        for (const auto& [x, y] : s.points)
            if (std::isfinite(y)) ymin = std::min(ymin, y), ymax = std::max(ymax, y);
    if (!(ymax >= ymin)) ymin = 0.0, ymax = 1.0;
    if (ymax - ymin < 1e-9) ymin -= 0.5, ymax += 0.5;
    const double pad = 0.05 * (ymax - ymin);
    ymin -= pad;
    ymax += pad;
    const double xspan = c.x_max - c.x_min;
    auto px = [&](double x) { return kLeft + (x - c.x_min) / xspan * (kRight - kLeft); };
    auto py = [&](double y) { return kBottom - (y - ymin) / (ymax - ymin) * (kBottom - kTop); };

    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_font_size(cr, 15);
    cairo_move_to(cr, kLeft, 28);
    cairo_show_text(cr, c.title.c_str());
    cairo_set_font_size(cr, 11);
    double ny = 46;
    for (const auto& n : c.notes) {
        cairo_move_to(cr, kLeft, ny);
        cairo_show_text(cr, n.c_str());
        ny += 13;
    }
    // Frame, ticks and grid.
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, kLeft, kTop, kRight - kLeft, kBottom - kTop);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 11);
    const double xs = tickStep(xspan), ys = tickStep(ymax - ymin);
    for (double x = std::ceil(c.x_min / xs) * xs; x <= c.x_max + 1e-9 * xspan; x += xs) {
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, px(x), kTop);
        cairo_line_to(cr, px(x), kBottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        const std::string t = fmt::format("{:g}", std::abs(x) < 1e-12 ? 0.0 : x);
        cairo_move_to(cr, px(x) - 3.0 * t.size(), kBottom + 16);
        cairo_show_text(cr, t.c_str());
    }
    for (double y = std::ceil(ymin / ys) * ys; y <= ymax; y += ys) {
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, kLeft, py(y));
        cairo_line_to(cr, kRight, py(y));
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        const std::string t = fmt::format("{:g}", std::abs(y) < 1e-12 * ys ? 0.0 : y);
        cairo_move_to(cr, kLeft - 8 - 6.0 * t.size(), py(y) + 4);
        cairo_show_text(cr, t.c_str());
    }
    cairo_move_to(cr, 0.5 * (kLeft + kRight) - 3.0 * c.x_label.size(), kBottom + 36);
    cairo_show_text(cr, c.x_label.c_str());
    cairo_save(cr);
    cairo_move_to(cr, 22, 0.5 * (kTop + kBottom) + 3.0 * c.y_label.size());
    cairo_rotate(cr, -M_PI / 2);
    cairo_show_text(cr, c.y_label.c_str());
    cairo_restore(cr);

    // Series, clipped to the frame.
    cairo_save(cr);
    cairo_rectangle(cr, kLeft, kTop, kRight - kLeft, kBottom - kTop);
    cairo_clip(cr);
    for (const auto& s : c.series) {
        colour(cr, s.colour);
        if (s.style == ChartSeries::Line) {
            cairo_set_line_width(cr, 1.8);
            bool pen = false;
            for (const auto& [x, y] : s.points) {
                if (!std::isfinite(x) || !std::isfinite(y)) {
                    pen = false;
                    continue;
                }
                pen ? cairo_line_to(cr, px(x), py(y)) : cairo_move_to(cr, px(x), py(y));
                pen = true;
            }
            cairo_stroke(cr);
        } else {
            cairo_set_line_width(cr, 1.4);
            for (const auto& [x, y] : s.points) {
                if (!std::isfinite(x) || !std::isfinite(y)) continue;
                cairo_new_sub_path(cr);
                cairo_arc(cr, px(x), py(y), 3.5, 0, 2 * M_PI);
                s.style == ChartSeries::Dots ? cairo_fill(cr) : cairo_stroke(cr);
            }
        }
    }
    cairo_restore(cr);
    // Legend at the right.
    double ly = kTop + 10;
    cairo_set_font_size(cr, 11);
    for (const auto& s : c.series) {
        if (s.label.empty()) continue;
        colour(cr, s.colour);
        if (s.style == ChartSeries::Line) {
            cairo_set_line_width(cr, 1.8);
            cairo_move_to(cr, kRight + 14, ly);
            cairo_line_to(cr, kRight + 34, ly);
            cairo_stroke(cr);
        } else {
            cairo_new_sub_path(cr);
            cairo_arc(cr, kRight + 24, ly, 3.5, 0, 2 * M_PI);
            s.style == ChartSeries::Dots ? cairo_fill(cr) : cairo_stroke(cr);
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, kRight + 40, ly + 4);
        cairo_show_text(cr, s.label.c_str());
        ly += 18;
    }
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void renderTo(const std::string& path, const std::string& file, double width, double height,
              const std::function<void(cairo_t*)>& paint) {
    std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface;
    const bool png = endsWith(path, ".png");
    if (endsWith(path, ".svg"))
        surface.reset(cairo_svg_surface_create(file.c_str(), width, height));
    else if (endsWith(path, ".pdf"))
        surface.reset(cairo_pdf_surface_create(file.c_str(), width, height));
    else if (png)
        surface.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height)));
    else
        throw std::invalid_argument(path + ": unknown picture format (use .svg, .png or .pdf)");
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(path + ": " + cairo_status_to_string(cairo_surface_status(surface.get())));
    {
        std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
        paint(cr.get());
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
            throw std::runtime_error(path + ": " + cairo_status_to_string(cairo_status(cr.get())));
    }
    if (png) {
        const cairo_status_t st = cairo_surface_write_to_png(surface.get(), file.c_str());
        if (st != CAIRO_STATUS_SUCCESS) throw std::runtime_error(path + ": " + cairo_status_to_string(st));
    }
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(path + ": " + cairo_status_to_string(cairo_surface_status(surface.get())));
    surface.reset();  // closes the file
}

}  // namespace

void WritePicture(const std::string& path, double width, double height, const std::function<void(cairo_t*)>& paint,
                  const std::function<void(const std::string&)>& finish) {
    const std::string part = path + ".part" + std::to_string(::getpid());
    try {
        renderTo(path, part, width, height, paint);
        if (finish) finish(part);
        if (std::rename(part.c_str(), path.c_str()) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    } catch (...) {
        std::remove(part.c_str());
        throw;
    }
}

void RenderChart(const Chart& chart, const std::string& path) {
    WritePicture(path, kWidth, kHeight, [&](cairo_t* cr) { draw(cr, chart); });
}

}  // namespace ternival::cli
