// plot: a table as an SVG picture. A channel table becomes one curve per
// column against its frames (or rows), thinned to the picture's width; a
// grid becomes a heat map, sampled through the library's own bilinear
// interpolation when it is larger than the picture.
#include "number_text.hpp"
#include "outputs.hpp"
#include "tables.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

constexpr double width = 760, height = 440;
constexpr double left = 70, right = 170, top = 40, bottom = 60;
constexpr double plot_w = width - left - right, plot_h = height - top - bottom;

const char *const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

// Coordinates and labels: six significant digits are finer than a pixel.
std::string n(double x) { return number_text(x, 6); }

std::string escape(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
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
    for (const double m : {1.0, 2.0, 5.0, 10.0})
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

void frame_and_ticks(std::string &svg, const Axes &a, const std::string &x_label, const std::string &y_label,
                     bool grid_lines)
{
    for (const double t : ticks(std::min(a.x0, a.x1), std::max(a.x0, a.x1))) {
        const std::string x = n(a.x(t));
        if (grid_lines)
            svg += "<line x1='" + x + "' y1='" + n(top) + "' x2='" + x + "' y2='" + n(top + plot_h) +
                   "' stroke='#e4e4e4'/>\n";
        svg += "<line x1='" + x + "' y1='" + n(top + plot_h) + "' x2='" + x + "' y2='" + n(top + plot_h + 5) +
               "' stroke='#333'/>\n<text x='" + x + "' y='" + n(top + plot_h + 19) + "' text-anchor='middle'>" +
               n(t) + "</text>\n";
    }
    for (const double t : ticks(std::min(a.y0, a.y1), std::max(a.y0, a.y1))) {
        const double y = a.y(t);
        if (grid_lines)
            svg += "<line x1='" + n(left) + "' y1='" + n(y) + "' x2='" + n(left + plot_w) + "' y2='" + n(y) +
                   "' stroke='#e4e4e4'/>\n";
        svg += "<line x1='" + n(left - 5) + "' y1='" + n(y) + "' x2='" + n(left) + "' y2='" + n(y) +
               "' stroke='#333'/>\n<text x='" + n(left - 8) + "' y='" + n(y + 4) + "' text-anchor='end'>" + n(t) +
               "</text>\n";
    }
    svg += "<rect x='" + n(left) + "' y='" + n(top) + "' width='" + n(plot_w) + "' height='" + n(plot_h) +
           "' fill='none' stroke='#333'/>\n";
    svg += "<text x='" + n(left + plot_w / 2) + "' y='" + n(height - 18) + "' text-anchor='middle'>" + x_label +
           "</text>\n<text transform='translate(18," + n(top + plot_h / 2) + ") rotate(-90)' text-anchor='middle'>" +
           y_label + "</text>\n";
}

// One column's curve as polylines, broken where a value or its x is not a
// number. A long curve keeps, of each pixel column's run of points, the
// lowest and the highest in their order: the picture is the same, its size
// bounded by the width.
class Curve {
public:
    Curve(std::string &svg, const char *colour, bool thin) : svg_(svg), colour_(colour), thin_(thin) {}

    void point(double x, double y)
    {
        if (!std::isfinite(x) || !std::isfinite(y))
            return gap();
        if (!thin_)
            return add(x, y);
        const double pixel = std::floor(x);
        if (!bucket_ || pixel != pixel_) {
            flush();
            bucket_ = true;
            pixel_ = pixel;
            low_ = high_ = {x, y, order_};
        } else if (y < low_.y) {
            low_ = {x, y, order_};
        } else if (y > high_.y) {
            high_ = {x, y, order_};
        }
        ++order_;
    }

    void gap()
    {
        flush();
        if (!points_.empty())
            svg_ += "<polyline fill='none' stroke='" + std::string(colour_) + "' stroke-width='2' points='" + points_ +
                    "'/>\n";
        points_.clear();
    }

private:
    struct Extreme {
        double x, y;
        long long order;
    };

    void add(double x, double y) { points_ += n(x) + "," + n(y) + " "; }

    void flush()
    {
        if (!bucket_)
            return;
        bucket_ = false;
        const Extreme &first = low_.order <= high_.order ? low_ : high_;
        const Extreme &second = low_.order <= high_.order ? high_ : low_;
        add(first.x, first.y);
        if (second.order != first.order)
            add(second.x, second.y);
    }

    std::string &svg_;
    const char *colour_;
    bool thin_;
    std::string points_;
    bool bucket_ = false;
    double pixel_ = 0;
    Extreme low_{}, high_{};
    long long order_ = 0;
};

void curves(std::string &svg, const gridvane::table &t)
{
    const auto rows = static_cast<int32_t>(t.rows()), columns = static_cast<int32_t>(t.columns());
    auto x_of = [&](int32_t r) { return t.has_frames() ? static_cast<double>(t.frame_value(static_cast<std::size_t>(r))) : r; };
    double lo = INFINITY, hi = -INFINITY;
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < columns; ++c)
            if (const float v = t.row(static_cast<std::size_t>(r))[static_cast<std::size_t>(c)]; std::isfinite(v)) {
                lo = std::min(lo, static_cast<double>(v));
                hi = std::max(hi, static_cast<double>(v));
            }
    if (!(hi >= lo))
        lo = 0, hi = 1;
    const double pad = hi > lo ? (hi - lo) * 0.05 : 1;
    Axes a{x_of(0), x_of(rows - 1), lo - pad, hi + pad};
    if (!(a.x1 > a.x0))
        a.x1 = a.x0 + 1;
    frame_and_ticks(svg, a, t.has_frames() ? "frame" : "row", "value", true);

    // More points than two a pixel column show nothing more.
    const bool thin = rows > 2 * static_cast<int32_t>(plot_w);
    for (int32_t c = 0; c < columns; ++c) {
        const char *colour = palette[c % 10];
        Curve curve(svg, colour, thin);
        for (int32_t r = 0; r < rows; ++r) {
            const float v = t.row(static_cast<std::size_t>(r))[static_cast<std::size_t>(c)];
            curve.point(a.x(x_of(r)), a.y(v));
            if (rows <= 60 && std::isfinite(v) && std::isfinite(x_of(r)))
                svg += "<circle cx='" + n(a.x(x_of(r))) + "' cy='" + n(a.y(v)) + "' r='2.5' fill='" + colour +
                       "'/>\n";
        }
        curve.gap();
        const double ly = top + 14 + 20 * c;
        svg += "<line x1='" + n(left + plot_w + 15) + "' y1='" + n(ly - 4) + "' x2='" + n(left + plot_w + 40) +
               "' y2='" + n(ly - 4) + "' stroke='" + colour + "' stroke-width='2'/>\n<text x='" +
               n(left + plot_w + 46) + "' y='" + n(ly) + "'>" + escape(column_label(t, static_cast<std::size_t>(c))) + "</text>\n";
    }
}

// A blue-to-yellow ramp for values in [0, 1].
std::string ramp(double f)
{
    static const double stops[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    static const char hex[] = "0123456789abcdef";
    f = std::clamp(f, 0.0, 1.0) * 4;
    const int i = std::min(static_cast<int>(f), 3);
    const double k = f - i;
    std::string out = "#";
    for (int channel = 0; channel < 3; ++channel) {
        const auto v = static_cast<int>(stops[i][channel] + k * (stops[i + 1][channel] - stops[i][channel]));
        out += hex[(v >> 4) & 0xF];
        out += hex[v & 0xF];
    }
    return out;
}

void heat_map(std::string &svg, const gridvane::table &t)
{
    const auto rows = static_cast<int32_t>(t.rows()), columns = static_cast<int32_t>(t.columns());
    // At most 200 cells a side; larger grids are sampled at cell centres.
    const int32_t nu = std::min(columns, 200), nv = std::min(rows, 200);
    auto value = [&](int32_t i, int32_t j) {
        const float u =
            nu == columns ? static_cast<float>(i) : static_cast<float>((i + 0.5) * columns / nu - 0.5);
        const float v = nv == rows ? static_cast<float>(j) : static_cast<float>((j + 0.5) * rows / nv - 0.5);
        return t.sample(u, v);
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
            svg += "<rect x='" + n(left + i * cw) + "' y='" + n(top + j * ch) + "' width='" + n(cw + 0.3) +
                   "' height='" + n(ch + 0.3) + "' fill='" + fill + "'/>\n";
        }
    // Rows run downwards, as in the file.
    const Axes a{-0.5, columns - 0.5, rows - 0.5, -0.5};
    frame_and_ticks(svg, a, "column (U)", "row (V)", false);
    const double bx = left + plot_w + 30;
    for (int k = 0; k < 50; ++k)
        svg += "<rect x='" + n(bx) + "' y='" + n(top + plot_h - (k + 1) * plot_h / 50) + "' width='18' height='" +
               n(plot_h / 50 + 0.3) + "' fill='" + ramp(k / 49.0) + "'/>\n";
    svg += "<text x='" + n(bx + 24) + "' y='" + n(top + 10) + "'>" + n(hi) + "</text>\n<text x='" + n(bx + 24) +
           "' y='" + n(top + plot_h) + "'>" + n(lo) + "</text>\n";
}

} // namespace

int plot(const std::vector<std::string> &words)
{
    const Args args(words, with_rules({"-o", "--output", "--title"}),
                    {"--curves", "--heatmap", "--strict", "--lenient"});
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
    const Reading reading = reading_option(args);

    const Input in = read_input(args.operands()[0], reading, rules_option(args));
    require_samples(in);
    const gridvane::table &t = in.table;
    const bool as_curves = args.flag("--curves") || (!args.flag("--heatmap") &&
                                                     (t.has_frames() || (t.columns() <= 12 && t.rows() > t.columns())));

    std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='" + n(width) + "' height='" + n(height) +
                      "' viewBox='0 0 " + n(width) + " " + n(height) +
                      "' font-family='sans-serif' font-size='12'>\n<rect width='100%' height='100%' fill='white'/>\n"
                      "<text x='" + n(left) + "' y='24' font-size='15'>" +
                      escape(args.value("--title").value_or(in.name + " (" + std::to_string(t.columns()) + " x " +
                                                            std::to_string(t.rows()) + ")")) +
                      "</text>\n";
    if (as_curves)
        curves(svg, t);
    else
        heat_map(svg, t);
    svg += "</svg>\n";
    write_output(*out, [&](std::FILE *stream) { std::fwrite(svg.data(), 1, svg.size(), stream); });
    return 0;
}

} // namespace cli
