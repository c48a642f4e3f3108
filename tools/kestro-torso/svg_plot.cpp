#include "tools/kestro-torso/svg_plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestro::tool {
namespace {

struct Panel {
    const char* title;
    std::size_t first;  // joint index
    std::size_t count;
};

constexpr Panel PANELS[] = {{"arms", 0, 4}, {"nose", 4, 3}, {"neck", 7, 3}};
constexpr const char* COLOURS[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd"};

constexpr double WIDTH = 760;
constexpr double PANEL_HEIGHT = 170;
constexpr double LEFT = 60;    // room for the radian ticks
constexpr double RIGHT = 130;  // room for the joint labels
constexpr double TOP = 30;
constexpr double GAP = 45;     // between panels, for the time ticks

std::string num(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

std::string label(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", std::fabs(value) < 1e-12 ? 0.0 : value);
    return buffer;
}

}  // namespace

std::vector<double> nice_ticks(double lo, double hi, int count) {
    if (!(hi > lo)) return {lo};
    const double raw = (hi - lo) / std::max(count, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = magnitude;
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * magnitude;
        if (step >= raw) break;
    }
    std::vector<double> ticks;
    for (double t = std::ceil(lo / step - 1e-9) * step; t <= hi + step * 1e-9; t += step) {
        ticks.push_back(t);
    }
    return ticks;
}

std::string svg_plot(const std::vector<Sample>& samples) {
    const double plot_width = WIDTH - LEFT - RIGHT;
    const double height = TOP + 3 * PANEL_HEIGHT + 3 * GAP;
    const double t_end = samples.empty() ? 1.0 : std::max(samples.back().time, 1e-3);
    const auto time_ticks = nice_ticks(0.0, t_end, 6);

    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(WIDTH) + "\" height=\"" +
        num(height) + "\" viewBox=\"0 0 " + num(WIDTH) + " " + num(height) +
        "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    for (std::size_t p = 0; p < std::size(PANELS); ++p) {
        const Panel& panel = PANELS[p];
        const double top = TOP + static_cast<double>(p) * (PANEL_HEIGHT + GAP);
        const double bottom = top + PANEL_HEIGHT;

        // The radian range of this panel's values, widened a little so flat lines show.
        double lo = INFINITY, hi = -INFINITY;
        for (const auto& s : samples) {
            for (std::size_t j = panel.first; j < panel.first + panel.count; ++j) {
                if (s.positions[j] && std::isfinite(*s.positions[j])) {
                    lo = std::min(lo, *s.positions[j]);
                    hi = std::max(hi, *s.positions[j]);
                }
            }
        }
        if (!(lo <= hi)) lo = hi = 0.0;
        const double margin = std::max((hi - lo) * 0.1, 0.05);
        lo -= margin;
        hi += margin;
        auto x = [&](double t) { return LEFT + t / t_end * plot_width; };
        auto y = [&](double v) { return bottom - (v - lo) / (hi - lo) * PANEL_HEIGHT; };

        out += "<g>\n<text x=\"" + num(LEFT) + "\" y=\"" + num(top - 8) +
               "\" font-weight=\"bold\">" + panel.title + " (rad)</text>\n";
        out += "<rect x=\"" + num(LEFT) + "\" y=\"" + num(top) + "\" width=\"" +
               num(plot_width) + "\" height=\"" + num(PANEL_HEIGHT) +
               "\" fill=\"none\" stroke=\"#444\"/>\n";
        for (double v : nice_ticks(lo, hi, 4)) {
            out += "<line x1=\"" + num(LEFT - 4) + "\" y1=\"" + num(y(v)) + "\" x2=\"" +
                   num(LEFT + plot_width) + "\" y2=\"" + num(y(v)) +
                   "\" stroke=\"#ddd\"/>\n<text x=\"" + num(LEFT - 6) + "\" y=\"" +
                   num(y(v) + 4) + "\" text-anchor=\"end\">" + label(v) + "</text>\n";
        }
        for (double t : time_ticks) {
            out += "<line x1=\"" + num(x(t)) + "\" y1=\"" + num(bottom) + "\" x2=\"" +
                   num(x(t)) + "\" y2=\"" + num(bottom + 4) + "\" stroke=\"#444\"/>\n<text x=\"" +
                   num(x(t)) + "\" y=\"" + num(bottom + 16) + "\" text-anchor=\"middle\">" +
                   label(t) + "</text>\n";
        }
        out += "<text x=\"" + num(LEFT + plot_width) + "\" y=\"" + num(bottom + 30) +
               "\" text-anchor=\"end\">time (s)</text>\n";

        for (std::size_t k = 0; k < panel.count; ++k) {
            const std::size_t j = panel.first + k;
            const char* colour = COLOURS[k];
            std::string points;
            double last_y = y(0.0);
            for (const auto& s : samples) {
                if (!s.positions[j] || !std::isfinite(*s.positions[j])) continue;
                if (!points.empty()) points += ' ';
                last_y = y(*s.positions[j]);
                points += num(x(s.time)) + "," + num(last_y);
            }
            const std::string name(joint_name(j));
            out += "<polyline data-joint=\"" + name + "\" fill=\"none\" stroke=\"" + colour +
                   "\" stroke-width=\"1.5\" points=\"" + points + "\"><title>" + name +
                   "</title></polyline>\n";
            out += "<text x=\"" + num(LEFT + plot_width + 8) + "\" y=\"" +
                   num(top + 14 + static_cast<double>(k) * 16) + "\" fill=\"" + colour + "\">" +
                   name + "</text>\n";
        }
        out += "</g>\n";
    }
    out += "</svg>\n";
    return out;
}

}  // namespace kestro::tool
