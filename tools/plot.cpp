// plot: a table as an SVG picture. A channel table becomes one curve per
// column against its frames (or rows); a grid becomes a heat map, sampled
// through the library's own bilinear interpolation when it is larger than
// the picture.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>

namespace cli {

namespace {

constexpr double width = 760, height = 440;
constexpr double left = 70, right = 170, top = 40, bottom = 60;
constexpr double plot_w = width - left - right, plot_h = height - top - bottom;

const char *const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

std::string number(double x)
{
    std::ostringstream out;
    out.precision(6);
    out << x;
    return out.str();
}

std::string escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// Tick positions at 1, 2 or 5 times a power of ten, about six of them.
std::vector<double> ticks(double lo, double hi)
{
    if (!(hi > lo))
        return {lo};
    const double raw = (hi - lo) / 6;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) {
            step = m * power;
            break;
        }
    std::vector<double> out;
    for (double t = std::ceil(lo / step) * step; t <= hi + step * 1e-9; t += step)
        out.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
    return out;
}

struct Axes {
    double x0, x1, y0, y1;
    double x(double v) const { return left + (v - x0) / (x1 - x0) * plot_w; }
    double y(double v) const { return top + plot_h - (v - y0) / (y1 - y0) * plot_h; }
};

void frame_and_ticks(std::ostream &svg, const Axes &a, const std::string &x_label, const std::string &y_label,
                     bool grid_lines)
{
    for (double t : ticks(std::min(a.x0, a.x1), std::max(a.x0, a.x1))) {
        const double x = a.x(t);
        if (grid_lines)
            svg << "<line x1='" << x << "' y1='" << top << "' x2='" << x << "' y2='" << top + plot_h
                << "' stroke='#e4e4e4'/>\n";
        svg << "<line x1='" << x << "' y1='" << top + plot_h << "' x2='" << x << "' y2='" << top + plot_h + 5
            << "' stroke='#333'/>\n<text x='" << x << "' y='" << top + plot_h + 19 << "' text-anchor='middle'>"
            << number(t) << "</text>\n";
    }
    for (double t : ticks(std::min(a.y0, a.y1), std::max(a.y0, a.y1))) {
        const double y = a.y(t);
        if (grid_lines)
            svg << "<line x1='" << left << "' y1='" << y << "' x2='" << left + plot_w << "' y2='" << y
                << "' stroke='#e4e4e4'/>\n";
        svg << "<line x1='" << left - 5 << "' y1='" << y << "' x2='" << left << "' y2='" << y
            << "' stroke='#333'/>\n<text x='" << left - 8 << "' y='" << y + 4 << "' text-anchor='end'>" << number(t)
            << "</text>\n";
    }
    svg << "<rect x='" << left << "' y='" << top << "' width='" << plot_w << "' height='" << plot_h
        << "' fill='none' stroke='#333'/>\n";
    svg << "<text x='" << left + plot_w / 2 << "' y='" << height - 18 << "' text-anchor='middle'>" << x_label
        << "</text>\n<text transform='translate(18," << top + plot_h / 2 << ") rotate(-90)' text-anchor='middle'>"
        << y_label << "</text>\n";
}

void curves(std::ostream &svg, const Table &t)
{
    float **rows = ArrayGetArray(t.id());
    auto x_of = [&](int32_t r) { return t.has_frames() ? static_cast<double>(rows[r][t.columns()]) : r; };
    double lo = INFINITY, hi = -INFINITY;
    for (int32_t r = 0; r < t.rows(); ++r)
        for (int32_t c = 0; c < t.columns(); ++c)
            if (std::isfinite(rows[r][c])) {
                lo = std::min(lo, static_cast<double>(rows[r][c]));
                hi = std::max(hi, static_cast<double>(rows[r][c]));
            }
    if (!(hi >= lo))
        lo = 0, hi = 1;
    const double pad = hi > lo ? (hi - lo) * 0.05 : 1;
    Axes a{x_of(0), x_of(t.rows() - 1), lo - pad, hi + pad};
    if (!(a.x1 > a.x0))
        a.x1 = a.x0 + 1;
    frame_and_ticks(svg, a, t.has_frames() ? "frame" : "row", "value", true);

    for (int32_t c = 0; c < t.columns(); ++c) {
        const char *colour = palette[c % 10];
        std::string points;
        auto flush = [&] {
            if (!points.empty())
                svg << "<polyline fill='none' stroke='" << colour << "' stroke-width='2' points='" << points << "'/>\n";
            points.clear();
        };
        for (int32_t r = 0; r < t.rows(); ++r) {
            const float v = rows[r][c];
            if (!std::isfinite(v) || !std::isfinite(x_of(r))) {
                flush(); // a gap where there is no number
                continue;
            }
            points += number(a.x(x_of(r))) + "," + number(a.y(v)) + " ";
            if (t.rows() <= 60)
                svg << "<circle cx='" << a.x(x_of(r)) << "' cy='" << a.y(v) << "' r='2.5' fill='" << colour << "'/>\n";
        }
        flush();
        const double ly = top + 14 + 20 * c;
        svg << "<line x1='" << left + plot_w + 15 << "' y1='" << ly - 4 << "' x2='" << left + plot_w + 40 << "' y2='"
            << ly - 4 << "' stroke='" << colour << "' stroke-width='2'/>\n<text x='" << left + plot_w + 46 << "' y='"
            << ly << "'>" << escape(t.column_label(c)) << "</text>\n";
    }
}

// A blue-to-yellow ramp for values in [0, 1].
std::string ramp(double f)
{
    static const double stops[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    f = std::clamp(f, 0.0, 1.0) * 4;
    const int i = std::min(static_cast<int>(f), 3);
    const double k = f - i;
    char out[8];
    std::snprintf(out, sizeof out, "#%02x%02x%02x", static_cast<int>(stops[i][0] + k * (stops[i + 1][0] - stops[i][0])),
                  static_cast<int>(stops[i][1] + k * (stops[i + 1][1] - stops[i][1])),
                  static_cast<int>(stops[i][2] + k * (stops[i + 1][2] - stops[i][2])));
    return out;
}

void heat_map(std::ostream &svg, const Table &t)
{
    // At most 200 cells a side; larger grids are sampled at cell centres.
    const int32_t nu = std::min(t.columns(), 200), nv = std::min(t.rows(), 200);
    auto value = [&](int32_t i, int32_t j) {
        const float u =
            nu == t.columns() ? static_cast<float>(i) : static_cast<float>((i + 0.5) * t.columns() / nu - 0.5);
        const float v = nv == t.rows() ? static_cast<float>(j) : static_cast<float>((j + 0.5) * t.rows() / nv - 0.5);
        return ArrayGetValue(t.id(), u, v);
    };
    double lo = INFINITY, hi = -INFINITY;
    for (int32_t j = 0; j < nv; ++j)
        for (int32_t i = 0; i < nu; ++i)
            if (const float x = value(i, j); std::isfinite(x))
                lo = std::min(lo, static_cast<double>(x)), hi = std::max(hi, static_cast<double>(x));
    if (!(hi >= lo))
        lo = 0, hi = 1;
    const double cw = plot_w / nu, ch = plot_h / nv;
    for (int32_t j = 0; j < nv; ++j)
        for (int32_t i = 0; i < nu; ++i) {
            const float x = value(i, j);
            const std::string fill = std::isfinite(x) ? ramp(hi > lo ? (x - lo) / (hi - lo) : 0.5) : "#bbbbbb";
            svg << "<rect x='" << number(left + i * cw) << "' y='" << number(top + j * ch) << "' width='"
                << number(cw + 0.3) << "' height='" << number(ch + 0.3) << "' fill='" << fill << "'/>\n";
        }
    // Rows run downwards, as in the file.
    const Axes a{-0.5, t.columns() - 0.5, t.rows() - 0.5, -0.5};
    frame_and_ticks(svg, a, "column (U)", "row (V)", false);
    const double bx = left + plot_w + 30;
    for (int k = 0; k < 50; ++k)
        svg << "<rect x='" << bx << "' y='" << number(top + plot_h - (k + 1) * plot_h / 50) << "' width='18' height='"
            << number(plot_h / 50 + 0.3) << "' fill='" << ramp(k / 49.0) << "'/>\n";
    svg << "<text x='" << bx + 24 << "' y='" << top + 10 << "'>" << number(hi) << "</text>\n<text x='" << bx + 24
        << "' y='" << top + plot_h << "'>" << number(lo) << "</text>\n";
}

} // namespace

int plot(const std::vector<std::string> &words)
{
    const Args args(words, {"-o", "--output", "--title"}, {"--curves", "--heatmap"});
    if (args.operands().size() != 1)
        usage_error("plot needs one FILE");
    auto out = args.value("-o");
    if (!out)
        out = args.value("--output");
    if (!out)
        usage_error("plot needs -o OUT.svg (or -o - for standard output)");
    if (*out != "-" && (out->size() < 4 || out->substr(out->size() - 4) != ".svg"))
        usage_error("plot writes SVG: name the output *.svg");
    if (args.flag("--curves") && args.flag("--heatmap"))
        usage_error("choose --curves or --heatmap, not both");

    const Input input(args.operands()[0]);
    const Table t(input);
    t.require_samples();
    const bool as_curves = args.flag("--curves") || (!args.flag("--heatmap") &&
                                                     (t.has_frames() || (t.columns() <= 12 && t.rows() > t.columns())));

    std::ostringstream svg;
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height << "' viewBox='0 0 "
        << width << " " << height << "' font-family='sans-serif' font-size='12'>\n"
        << "<rect width='100%' height='100%' fill='white'/>\n<text x='" << left << "' y='24' font-size='15'>"
        << escape(args.value("--title").value_or(t.name() + " (" + std::to_string(t.columns()) + " x " +
                                                 std::to_string(t.rows()) + ")"))
        << "</text>\n";
    if (as_curves)
        curves(svg, t);
    else
        heat_map(svg, t);
    svg << "</svg>\n";

    const std::string picture = svg.str();
    write_output(*out, [&](std::FILE *stream) {
        return std::fwrite(picture.data(), 1, picture.size(), stream) == picture.size();
    });
    return 0;
}

} // namespace cli
