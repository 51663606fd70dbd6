#include "map_render.h"

#include "chart_render.h"

#include <algorithm>
#include <iterator>

#include <cairo.h>
#include <fmt/core.h>

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unistd.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace ternival::cli {
namespace {

constexpr double kWidth = 720.0, kHeight = 700.0;
constexpr double kSide = 560.0;
constexpr double kLeft = 80.0, kBase = 590.0;

struct Xy {
    double x, y;
};

// Top at the apex, Left bottom-left, Right bottom-right.
Xy place(const Composition& c) {
    const double h = kSide * std::sqrt(3.0) / 2.0;
    return {kLeft + kSide * (c[2] + 0.5 * c[0]), kBase - h * c[0]};
}

void polyline(cairo_t* cr, const std::vector<Composition>& pts) {
    bool first = true;
    for (const auto& p : pts) {
        if (p[0] < 0.0 && p[1] < 0.0) continue;  // unfilled slot
        const Xy q = place(p);
        first ? cairo_move_to(cr, q.x, q.y) : cairo_line_to(cr, q.x, q.y);
        first = false;
    }
    cairo_stroke(cr);
}

// Arrowhead at the middle of a curve, pointing towards higher boiling.
void arrow(cairo_t* cr, const Curve& c) {
    if (c.points.size() < 3) return;
    const std::size_t m = c.points.size() / 2;
    Xy a = place(c.points[m - 1]), b = place(c.points[m + 1]);
    if (c.direction < 0) std::swap(a, b);
    const double dx = b.x - a.x, dy = b.y - a.y, len = std::hypot(dx, dy);
    if (len < 1e-9) return;
    const double ux = dx / len, uy = dy / len;
    const Xy tip = place(c.points[m]);
    const double s = 7.0;
    cairo_move_to(cr, tip.x + ux * s, tip.y + uy * s);
    cairo_line_to(cr, tip.x - ux * s - uy * s * 0.6, tip.y - uy * s + ux * s * 0.6);
    cairo_line_to(cr, tip.x - ux * s + uy * s * 0.6, tip.y - uy * s - ux * s * 0.6);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void marker(cairo_t* cr, double x, double y, std::int64_t code) {
    const double r = 6.0;
    cairo_new_path(cr);  // an arc would otherwise join the last text's end point
    switch (code) {
        case 1:  // stable node: filled circle
            cairo_arc(cr, x, y, r, 0, 2 * M_PI);
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            cairo_fill(cr);
            break;
        case 3:  // unstable node: open circle
            cairo_arc(cr, x, y, r, 0, 2 * M_PI);
            cairo_set_source_rgb(cr, 1, 1, 1);
            cairo_fill_preserve(cr);
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            cairo_set_line_width(cr, 2.0);
            cairo_stroke(cr);
            break;
        default:  // saddle: square
            cairo_rectangle(cr, x - r, y - r, 2 * r, 2 * r);
            cairo_set_source_rgb(cr, 0.85, 0.3, 0.1);
            cairo_fill(cr);
            break;
    }
}

void text(cairo_t* cr, double x, double y, const std::string& s, double size, bool centre = false) {
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, centre ? x - e.width / 2 : x, y);
    cairo_show_text(cr, s.c_str());
    cairo_new_path(cr);
}

// Legend sample of a line style, drawn as a filled bar so that it is not
// taken for a curve of the diagram when the SVG is tagged.
void sample(cairo_t* cr, double x, double y, double width) {
    cairo_rectangle(cr, x - 8, y - width / 2, 16, width);
    cairo_fill(cr);
}

void draw(cairo_t* cr, const TernaryMap& m) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    // Triangle and labelled corners.
    const Xy top = place({1, 0, 0}), left = place({0, 1, 0}), right = place({0, 0, 1});
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, top.x, top.y);
    cairo_line_to(cr, left.x, left.y);
    cairo_line_to(cr, right.x, right.y);
    cairo_close_path(cr);
    cairo_stroke(cr);
    text(cr, top.x, top.y - 14, m.names[0], 16, true);
    text(cr, left.x - 10, left.y + 24, m.names[1], 16, true);
    text(cr, right.x + 10, right.y + 24, m.names[2], 16, true);

    // Distillation regions: pale shades, numbered at their middles.
    static constexpr double kShades[][3] = {{0.93, 0.95, 1.0}, {1.0, 0.95, 0.88}, {0.92, 0.98, 0.92},
                                            {0.99, 0.92, 0.96}, {0.95, 0.93, 0.99}, {0.98, 0.98, 0.88}};
    for (std::size_t g = 0; g < m.regions.size(); ++g) {
        const auto& poly = m.regions[g];
        if (poly.size() < 3) continue;
        const auto& shade = kShades[g % std::size(kShades)];
        cairo_set_source_rgb(cr, shade[0], shade[1], shade[2]);
        cairo_new_path(cr);
        for (std::size_t k = 0; k < poly.size(); ++k) {
            const Xy q = place(poly[k]);
            k == 0 ? cairo_move_to(cr, q.x, q.y) : cairo_line_to(cr, q.x, q.y);
        }
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    for (std::size_t g = 0; g < m.regions.size(); ++g) {
        const auto& poly = m.regions[g];
        if (poly.size() < 3) continue;
        Composition mid{};
        for (const auto& q : poly)
            for (std::size_t i = 0; i < 3; ++i) mid[i] += q[i] / static_cast<double>(poly.size());
        const Xy q = place(mid);
        cairo_set_source_rgb(cr, 0.45, 0.45, 0.55);
        text(cr, q.x, q.y, std::to_string(g + 1), 18, true);
    }

    // Envelope and tie lines.
    cairo_set_source_rgb(cr, 0.1, 0.5, 0.2);
    cairo_set_line_width(cr, 0.8);
    for (const auto& t : m.tie_lines) {
        const Xy a = place(t.a), b = place(t.b);
        cairo_move_to(cr, a.x, a.y);
        cairo_line_to(cr, b.x, b.y);
        cairo_stroke(cr);
    }
    cairo_set_line_width(cr, 2.0);
    for (const auto& c : m.envelope) polyline(cr, c.points);

    // Residue curves with arrows towards higher boiling.
    cairo_set_source_rgb(cr, 0.2, 0.35, 0.75);
    cairo_set_line_width(cr, 1.0);
    for (const auto& c : m.residue_curves) {
        polyline(cr, c.points);
        arrow(cr, c);
    }
    // Boundaries, bold.
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_set_line_width(cr, 3.0);
    for (const auto& c : m.boundaries) polyline(cr, c.points);

    // A column: the mass-balance line, the profiles stage by stage, the
    // feed and the products.
    if (m.column.shown) {
        const auto& c = m.column;
        cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
        cairo_set_line_width(cr, 1.2);
        const double dash[] = {6.0, 4.0};
        cairo_set_dash(cr, dash, 2, 0.0);
        polyline(cr, {c.distillate, c.bottoms});
        cairo_set_dash(cr, nullptr, 0, 0.0);
        const struct {
            const std::vector<Composition>* points;
            double r, g, b;
        } sections[] = {{&c.rectifying, 0.8, 0.1, 0.1}, {&c.stripping, 0.0, 0.55, 0.3}};
        for (const auto& sec : sections) {
            cairo_set_source_rgb(cr, sec.r, sec.g, sec.b);
            cairo_set_line_width(cr, 1.8);
            polyline(cr, *sec.points);
            for (const auto& p : *sec.points) {
                const Xy q = place(p);
                cairo_new_path(cr);
                cairo_arc(cr, q.x, q.y, 2.2, 0, 2 * M_PI);
                cairo_fill(cr);
            }
        }
        const struct {
            const Composition* x;
            const char* name;
        } marks[] = {{&c.feed, "F"}, {&c.distillate, "D"}, {&c.bottoms, "B"}};
        for (const auto& mk : marks) {
            const Xy q = place(*mk.x);
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            cairo_new_path(cr);
            cairo_move_to(cr, q.x, q.y - 7);
            cairo_line_to(cr, q.x + 7, q.y);
            cairo_line_to(cr, q.x, q.y + 7);
            cairo_line_to(cr, q.x - 7, q.y);
            cairo_close_path(cr);
            cairo_fill(cr);
            text(cr, q.x + 9, q.y - 6, mk.name, 13);
        }
    }

    // Singular points.
    for (const auto& s : m.singular) {
        const Xy q = place(s.x);
        marker(cr, q.x, q.y, s.code);
        if (!s.label.empty()) {
            // Labels sit outside the point, away from the triangle's
            // centre, so that edge points keep theirs clear of the edge.
            // Corners put theirs beside the point (the component name is
            // above or below); points on an edge away from the opposite
            // corner; interior points away from the centre.
            Xy from = place({1.0 / 3, 1.0 / 3, 1.0 / 3});
            const auto corner = std::max_element(s.x.begin(), s.x.end());
            const auto absent = std::min_element(s.x.begin(), s.x.end());
            if (*corner > 1.0 - 1e-6) {
                from = {q.x + (corner == s.x.begin() || corner == s.x.begin() + 2 ? -1.0 : 1.0), q.y};
            } else if (*absent < 1e-6) {
                Composition v{0, 0, 0};
                v[static_cast<std::size_t>(absent - s.x.begin())] = 1.0;
                from = place(v);
            }
            double dx = q.x - from.x, dy = q.y - from.y;
            const double len = std::hypot(dx, dy);
            if (len > 1e-9) {
                dx /= len;
                dy /= len;
            } else {
                dx = 1.0;
                dy = 0.0;
            }
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            cairo_set_font_size(cr, 11);
            cairo_text_extents_t e;
            cairo_text_extents(cr, s.label.c_str(), &e);
            const double lx = q.x + 12 * dx + (dx < -0.3 ? -e.width : dx > 0.3 ? 0.0 : -e.width / 2);
            const double ly = q.y + 12 * dy + (dy > 0.3 ? e.height : dy < -0.3 ? 0.0 : e.height / 2);
            text(cr, lx, ly, s.label, 11);
        }
    }

    // Legend.
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, 20, 30, fmt::format("{} / {} / {}   P = {:.0f} Pa   model {}", m.names[0], m.names[1], m.names[2],
                                 m.pressure, m.method.empty() ? "default" : m.method),
         14);
    const double lx = 470, ly = 60;
    marker(cr, lx, ly, 3);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 14, ly + 4, "unstable node", 12);
    marker(cr, lx, ly + 20, 2);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 14, ly + 24, "saddle", 12);
    marker(cr, lx, ly + 40, 1);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 14, ly + 44, "stable node", 12);
    sample(cr, lx, ly + 60, 3.0);
    text(cr, lx + 14, ly + 64, "distillation boundary", 12);
    cairo_set_source_rgb(cr, 0.2, 0.35, 0.75);
    sample(cr, lx, ly + 80, 1.0);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 14, ly + 84, "residue curve (arrow: rising T)", 12);
    if (!m.envelope.empty() || !m.tie_lines.empty()) {
        cairo_set_source_rgb(cr, 0.1, 0.5, 0.2);
        sample(cr, lx, ly + 100, 2.0);
        cairo_set_source_rgb(cr, 0, 0, 0);
        text(cr, lx + 14, ly + 104, "LLE envelope, tie lines", 12);
    }
}

// cairo writes no element ids, so the curves of an SVG are tagged after it
// is written: every kind of curve has a stroke (width and colour) of its
// own, and each stroked <path> of that stroke receives the kind's class
// (residue-curve, boundary, envelope, tie-line).
void tagSvgCurves(const std::string& path) {
    std::string svg;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        svg = s.str();
    }
    struct Kind {
        const char* width;
        const char* colour;
        const char* name;
    };
    static constexpr Kind kinds[] = {
        {"stroke-width:1;", "stroke:rgb(20%,35%,75%)", "residue-curve"},
        {"stroke-width:3;", "stroke:rgb(0%,0%,0%)", "boundary"},
        {"stroke-width:2;", "stroke:rgb(10%,50%,20%)", "envelope"},
        {"stroke-width:0.8;", "stroke:rgb(10%,50%,20%)", "tie-line"},
        {"stroke-width:1.2;", "stroke:rgb(40%,40%,40%)", "mass-balance"},
        {"stroke-width:1.8;", "stroke:rgb(80%,10%,10%)", "rectifying"},
        {"stroke-width:1.8;", "stroke:rgb(0%,55%,30%)", "stripping"},
    };
    std::string out;
    out.reserve(svg.size() + 4096);
    const std::string open = "<path style=\"";
    std::size_t at = 0;
    while (true) {
        const std::size_t p = svg.find(open, at);
        if (p == std::string::npos) break;
        const std::size_t end = svg.find('"', p + open.size());
        if (end == std::string::npos) break;
        const std::string style = svg.substr(p + open.size(), end - p - open.size());
        out.append(svg, at, p - at);
        out += "<path";
        if (style.find("fill:none;") != std::string::npos)
            for (const Kind& k : kinds)
                if (style.find(k.width) != std::string::npos && style.find(k.colour) != std::string::npos) {
                    out += " class=\"";
                    out += k.name;
                    out += '"';
                    break;
                }
        out += svg.substr(p + 5, end + 1 - (p + 5));
        at = end + 1;
    }
    out.append(svg, at, std::string::npos);
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    o << out;
    o.close();
    if (!o) throw std::runtime_error(path + ": cannot rewrite the picture");
}

// Draws the map into `file` in the format that `path` names.
}  // namespace

void RenderMap(const TernaryMap& map, const std::string& path) {
    const bool svg = path.size() >= 4 && path.compare(path.size() - 4, 4, ".svg") == 0;
    WritePicture(path, kWidth, kHeight, [&](cairo_t* cr) { draw(cr, map); },
                 [&](const std::string& file) {
                     if (svg) tagSvgCurves(file);
                 });
}

}  // namespace ternival::cli
