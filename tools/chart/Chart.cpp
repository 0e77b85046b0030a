#include "Chart.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <set>

namespace tarvik::chart {
namespace {

// Colours told apart also by most colour-blind readers.
constexpr const char* kPalette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                    "#E69F00", "#56B4E9", "#6B6B6B", "#8C564B"};
constexpr const char* kFont = "DejaVu Sans, Arial, Helvetica, sans-serif";
constexpr const char* kGrid = "#E3E3E3";
constexpr const char* kFrame = "#8A8A8A";
constexpr const char* kText = "#222222";
constexpr const char* kSubtle = "#666666";

constexpr int kLeft = 84, kRight = 28;
constexpr int kTitleY = 30, kSubtitleY = 50, kLegendY = 74, kLegendRow = 20;
constexpr int kPanelGap = 24, kBottom = 62;
constexpr int kSwatch = 22;
constexpr double kCharWidth = 7.2;     // average advance of the 12 px legend font
constexpr std::size_t kDotLimit = 150; // mark every sample while a series has at most this many
constexpr double kMargin = 0.02;       // of the data's span, on each side of an axis
// A line does not bridge a pause (logs appended by separate runs) longer than this many typical
// poll steps or a minute, whichever is longer.
constexpr double kPauseSteps = 10, kPauseSeconds = 60;

std::string Num(double v) {
    std::string s = fmt::format("{:.1f}", v);
    if (s.ends_with(".0")) s.resize(s.size() - 2);
    return s == "-0" ? "0" : s;
}

std::string LegendText(const Series& s) {
    return s.unit.empty() ? s.name : s.name + " (" + s.unit + ")";
}

bool HasValue(const Point& p) {
    return p.value && std::isfinite(*p.value);
}

struct Panel {
    std::string unit;
    std::vector<std::size_t> series;
    Axis axis;
    double top = 0, bottom = 0;
};

class Writer {
public:
    Writer(const Chart& chart, const RenderOptions& options) : chart_(chart), options_(options) {}

    std::string Render() {
        Collect();
        LayOut();
        out_ += fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
                            "viewBox=\"0 0 {0} {1}\" font-family=\"{2}\" font-size=\"12\" fill=\"{3}\">\n",
                            width_, height_, kFont, kText);
        out_ += "<title>" + XmlEscape(chart_.title) + "</title>\n";
        out_ += fmt::format("<rect width=\"{}\" height=\"{}\" fill=\"#FFFFFF\"/>\n", width_, height_);
        out_ += fmt::format("<text class=\"title\" x=\"{}\" y=\"{}\" font-size=\"18\" font-weight=\"bold\" "
                            "text-anchor=\"middle\">{}</text>\n",
                            width_ / 2, kTitleY, XmlEscape(chart_.title));
        out_ += fmt::format("<text class=\"subtitle\" x=\"{}\" y=\"{}\" fill=\"{}\" text-anchor=\"middle\">{}"
                            "</text>\n",
                            width_ / 2, kSubtitleY, kSubtle, XmlEscape(Subtitle()));
        Legend();
        for (const Panel& p : panels_)
            DrawPanel(p);
        if (!panels_.empty()) TimeLabels();
        out_ += "</svg>\n";
        return std::move(out_);
    }

private:
    void Collect() {
        std::set<WallTime> times;
        for (std::size_t i = 0; i < chart_.series.size(); ++i) {
            const Series& s = chart_.series[i];
            auto panel = std::find_if(panels_.begin(), panels_.end(),
                                      [&](const Panel& p) { return p.unit == s.unit; });
            if (panel == panels_.end()) panel = panels_.insert(panels_.end(), Panel{s.unit, {}, {}, 0, 0});
            panel->series.push_back(i);
            for (const Point& p : s.points) {
                times.insert(p.time);
                failed_ += !HasValue(p);
            }
        }
        polls_.assign(times.begin(), times.end());
        if (polls_.empty()) {
            panels_.clear();
            return;
        }
        // A little room at both ends, so the first and last samples do not sit on the frame.
        const double timePad = (polls_.back() - polls_.front()) * kMargin;
        time_ = TimeAxis(polls_.front() - timePad, polls_.back() + timePad);
        std::vector<double> steps;
        for (std::size_t i = 1; i < polls_.size(); ++i)
            steps.push_back(polls_[i] - polls_[i - 1]);
        double median = 0;
        if (!steps.empty()) {
            std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
            median = steps[steps.size() / 2];
        }
        pause_ = std::max(kPauseSteps * median, kPauseSeconds);
        for (Panel& p : panels_) {
            double lo = INFINITY, hi = -INFINITY;
            for (std::size_t i : p.series)
                for (const Point& pt : chart_.series[i].points)
                    if (HasValue(pt)) {
                        lo = std::min(lo, *pt.value);
                        hi = std::max(hi, *pt.value);
                    }
            if (lo > hi) lo = hi = 0; // every poll of this unit failed
            const double pad = (hi - lo) * kMargin;
            p.axis =
                ValueAxis(lo >= 0 && lo - pad < 0 ? 0 : lo - pad, hi <= 0 && hi + pad > 0 ? 0 : hi + pad);
        }
    }

    void LayOut() {
        width_ = std::max(options_.width, kLeft + kRight + 200);
        // Legend entries flow left to right and wrap.
        double x = kLeft, y = kLegendY;
        const double right = width_ - kRight;
        auto place = [&](const std::string& text) {
            const double w = kSwatch + 6 + kCharWidth * static_cast<double>(text.size()) + 18;
            if (x + w > right && x > kLeft) {
                x = kLeft;
                y += kLegendRow;
            }
            legend_.push_back({x, y});
            x += w;
        };
        for (const Series& s : chart_.series)
            place(LegendText(s));
        if (failed_ > 0) place("failed poll");
        double top = y + kLegendRow;
        for (Panel& p : panels_) {
            p.top = top;
            p.bottom = top + std::max(options_.panelHeight, 80);
            top = p.bottom + kPanelGap;
        }
        height_ = static_cast<int>(panels_.empty() ? top + kLegendRow : panels_.back().bottom + kBottom);
    }

    std::string Subtitle() const {
        if (polls_.empty()) return "no polls yet";
        const WallTime a = polls_.front(), b = polls_.back();
        const bool sameDay = FormatDate(a) == FormatDate(b);
        std::string text =
            fmt::format("{} poll{} from {} {} to {}{}", polls_.size(), polls_.size() == 1 ? "" : "s",
                        FormatDate(a), FormatClock(a), sameDay ? "" : FormatDate(b) + " ", FormatClock(b));
        if (failed_ > 0)
            text += fmt::format("; {} value{} missing (failed poll)", failed_, failed_ == 1 ? "" : "s");
        return text;
    }

    void Legend() {
        std::size_t slot = 0;
        for (std::size_t i = 0; i < chart_.series.size(); ++i, ++slot) {
            const auto [x, y] = legend_[slot];
            out_ +=
                fmt::format("<g class=\"legend\"><line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" "
                            "stroke-width=\"2.5\"/><text x=\"{}\" y=\"{}\">{}</text></g>\n",
                            Num(x), Num(y - 4), Num(x + kSwatch), Num(y - 4), Colour(i), Num(x + kSwatch + 6),
                            Num(y), XmlEscape(LegendText(chart_.series[i])));
        }
        if (failed_ > 0) {
            const auto [x, y] = legend_[slot];
            out_ +=
                "<g class=\"legend\">" + Cross(x + kSwatch / 2.0, y - 4, kSubtle) +
                fmt::format("<text x=\"{}\" y=\"{}\">failed poll</text></g>\n", Num(x + kSwatch + 6), Num(y));
        }
    }

    void DrawPanel(const Panel& p) {
        const double left = kLeft, right = width_ - kRight;
        out_ += fmt::format("<g class=\"panel\" data-unit=\"{}\" data-min=\"{}\" data-max=\"{}\">\n",
                            XmlEscape(p.unit), fmt::format("{}", p.axis.min), fmt::format("{}", p.axis.max));
        out_ +=
            fmt::format("<rect class=\"plot\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"#FFFFFF\" "
                        "stroke=\"{}\"/>\n",
                        Num(left), Num(p.top), Num(right - left), Num(p.bottom - p.top), kFrame);
        for (const Tick& t : p.axis.ticks) {
            const double y = Y(p, t.at);
            out_ += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\"/>"
                                "<text x=\"{}\" y=\"{}\" text-anchor=\"end\">{}</text>\n",
                                Num(left), Num(y), Num(right), Num(y), kGrid, Num(left - 6), Num(y + 4),
                                XmlEscape(t.label));
        }
        for (const Tick& t : time_.ticks) {
            const double x = X(t.at);
            out_ += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\"/>\n", Num(x),
                                Num(p.top), Num(x), Num(p.bottom), kGrid);
        }
        const std::string label = options_.describeUnit ? options_.describeUnit(p.unit)
                                  : p.unit.empty()      ? std::string("value")
                                                        : p.unit;
        const double mid = (p.top + p.bottom) / 2;
        out_ += fmt::format("<text class=\"unit\" x=\"18\" y=\"{}\" text-anchor=\"middle\" "
                            "transform=\"rotate(-90 18 {})\">{}</text>\n",
                            Num(mid), Num(mid), XmlEscape(label));
        for (std::size_t rank = 0; rank < p.series.size(); ++rank)
            DrawSeries(p, p.series[rank], rank);
        // The frame again, over the lines that touch the edges.
        out_ +=
            fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"{}\"/>\n"
                        "</g>\n",
                        Num(left), Num(p.top), Num(right - left), Num(p.bottom - p.top), kFrame);
    }

    void DrawSeries(const Panel& p, std::size_t index, std::size_t rank) {
        const Series& s = chart_.series[index];
        const std::string colour = Colour(index);
        out_ += fmt::format(
            "<g class=\"series\" data-name=\"{}\" data-unit=\"{}\" fill=\"none\" stroke=\"{}\">\n",
            XmlEscape(s.name), XmlEscape(s.unit), colour);
        std::size_t valued = 0;
        for (const Point& pt : s.points)
            valued += HasValue(pt);
        std::vector<const Point*> run;
        auto flush = [&] {
            if (run.size() == 1) {
                out_ += fmt::format("<circle class=\"single\" cx=\"{}\" cy=\"{}\" r=\"3\" fill=\"{}\"/>\n",
                                    Num(X(run[0]->time)), Num(Y(p, *run[0]->value)), colour);
            } else if (run.size() > 1) {
                out_ += "<polyline class=\"line\" stroke-width=\"2\" stroke-linejoin=\"round\" points=\"";
                for (std::size_t i = 0; i < run.size(); ++i) {
                    // Appended piece by piece: `"" + std::string` trips a false -Wrestrict in GCC 12 at -O3.
                    if (i) out_ += ' ';
                    out_ += Num(X(run[i]->time));
                    out_ += ',';
                    out_ += Num(Y(p, *run[i]->value));
                }
                out_ += "\"/>\n";
                if (valued <= kDotLimit)
                    for (const Point* q : run)
                        out_ +=
                            fmt::format("<circle class=\"dot\" cx=\"{}\" cy=\"{}\" r=\"2.2\" fill=\"{}\"/>\n",
                                        Num(X(q->time)), Num(Y(p, *q->value)), colour);
            }
            run.clear();
        };
        for (const Point& pt : s.points) {
            if (!HasValue(pt)) {
                flush();
                const double x = X(pt.time);
                out_ += fmt::format("<g class=\"gap\"><line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" "
                                    "stroke-width=\"1\" stroke-dasharray=\"4 3\" stroke-opacity=\"0.55\"/>",
                                    Num(x), Num(p.top), Num(p.bottom));
                out_ += Cross(x, p.bottom - 7 - 11 * static_cast<double>(rank), colour) + "</g>\n";
                continue;
            }
            if (!run.empty() && !Adjacent(*run.back(), pt)) flush();
            run.push_back(&pt);
        }
        flush();
        out_ += "</g>\n";
    }

    void TimeLabels() {
        const double bottom = panels_.back().bottom;
        out_ += "<g class=\"axis-x\" text-anchor=\"middle\">\n";
        for (const Tick& t : time_.ticks) {
            const double x = X(t.at);
            out_ += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"{3}\"/>"
                                "<text x=\"{0}\" y=\"{4}\">{5}</text>",
                                Num(x), Num(bottom), Num(bottom + 5), kFrame, Num(bottom + 18),
                                XmlEscape(t.label));
            if (!t.second.empty())
                out_ += fmt::format("<text x=\"{}\" y=\"{}\" fill=\"{}\">{}</text>", Num(x), Num(bottom + 32),
                                    kSubtle, XmlEscape(t.second));
            out_ += "\n";
        }
        const std::string first = FormatDate(time_.min), last = FormatDate(time_.max);
        out_ += fmt::format("<text class=\"caption\" x=\"{}\" y=\"{}\" fill=\"{}\">time of day, {}</text>\n",
                            Num((kLeft + width_ - kRight) / 2.0), Num(bottom + 50), kSubtle,
                            first == last ? first : first + " to " + last);
        out_ += "</g>\n";
    }

    // Two samples are joined when they come from consecutive polls with no long pause between.
    bool Adjacent(const Point& a, const Point& b) const {
        const auto ia = std::lower_bound(polls_.begin(), polls_.end(), a.time);
        const auto ib = std::lower_bound(polls_.begin(), polls_.end(), b.time);
        return ib == ia + 1 && b.time - a.time <= pause_;
    }

    static std::string Cross(double x, double y, const std::string& colour) {
        return fmt::format(
            "<path d=\"M{} {}L{} {}M{} {}L{} {}\" stroke=\"{}\" stroke-width=\"2\" fill=\"none\"/>",
            Num(x - 4), Num(y - 4), Num(x + 4), Num(y + 4), Num(x - 4), Num(y + 4), Num(x + 4), Num(y - 4),
            colour);
    }

    static std::string Colour(std::size_t index) { return kPalette[index % std::size(kPalette)]; }

    double X(WallTime t) const {
        return kLeft + (t - time_.min) / (time_.max - time_.min) * (width_ - kLeft - kRight);
    }
    static double Y(const Panel& p, double v) {
        const double y = p.bottom - (v - p.axis.min) / (p.axis.max - p.axis.min) * (p.bottom - p.top);
        return std::isfinite(y) ? y : p.bottom; // a range beyond double's reach (hand-edited logs)
    }

    const Chart& chart_;
    const RenderOptions& options_;
    std::string out_;
    std::vector<Panel> panels_;
    std::vector<WallTime> polls_; // distinct poll times, ascending
    std::vector<std::pair<double, double>> legend_;
    std::size_t failed_ = 0;
    Axis time_;
    double pause_ = kPauseSeconds;
    int width_ = 0, height_ = 0;
};

// Length of the well-formed UTF-8 sequence at `i`, or 0.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t n = 0;
    unsigned min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    unsigned code = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

} // namespace

void Recorder::Add(const std::string& name, const std::string& unit, WallTime time,
                   std::optional<double> value) {
    if (value && !std::isfinite(*value)) value.reset();
    const auto last = last_.find(name);
    std::size_t index = series_.size();
    if (last != last_.end()) {
        index = last->second;
        if (value && series_[index].unit != unit) {
            if (series_[index].points.empty() ||
                std::none_of(series_[index].points.begin(), series_[index].points.end(), HasValue)) {
                series_[index].unit = unit; // only failures so far: the first value names the unit
            } else {
                const auto other = std::find_if(series_.begin(), series_.end(), [&](const Series& s) {
                    return s.name == name && s.unit == unit;
                });
                index = static_cast<std::size_t>(other - series_.begin());
            }
        }
    }
    if (index == series_.size()) series_.push_back({name, value ? unit : std::string(), {}});
    series_[index].points.push_back({time, value});
    last_[name] = index;
}

std::string RenderSvg(const Chart& chart, const RenderOptions& options) {
    return Writer(chart, options).Render();
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // Multi-byte UTF-8 passes whole; a byte that does not start a valid sequence becomes '?'.
            const std::size_t n = Utf8Length(text, i);
            out += n ? text.substr(i, n) : "?";
            i += n ? n - 1 : 0;
            continue;
        }
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
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters other than tab and line ends are not allowed in XML 1.0.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

} // namespace tarvik::chart
