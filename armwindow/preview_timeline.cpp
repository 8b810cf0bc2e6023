#include "preview_timeline.h"

#include <QPainter>
#include <array>
#include <cmath>
#include <utility>

#include "arm_colours.h"

namespace quillmar {

namespace {

constexpr int lane_count = static_cast<int>(joint_count) + 1;  // the joints, then the light
constexpr int lane_height = 15;
constexpr double bar_margin = 3.0;
constexpr int axis_height = 18;
constexpr int legend_height = 18;
constexpr double smallest_tick_gap = 56.0;  // pixels between two labelled seconds

// Seconds between two labelled ticks: 1, 2 or 5 times a power of ten, at least `least`.
double tick_step(double least) {
    double step = std::pow(10.0, std::floor(std::log10(std::max(least, 1e-3))));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (step * factor >= least) {
            return step * factor;
        }
    }
    return step * 10.0;
}

QString seconds_text(double seconds) {
    return QString::number(seconds, 'g', 4) + QStringLiteral(" s");
}

}  // namespace

PreviewTimeline::PreviewTimeline(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PreviewTimeline::set_preview(const ProgramPreview& new_preview) {
    preview = new_preview;
    update();
}

void PreviewTimeline::set_now(std::optional<double> seconds) {
    if (now != seconds) {
        now = seconds;
        update();
    }
}

QSize PreviewTimeline::sizeHint() const {
    return {640, lane_count * lane_height + axis_height + legend_height + 4};
}

void PreviewTimeline::paintEvent(QPaintEvent*) {
    const ArmColours colours = arm_colours(palette());
    QPainter painter(this);
    painter.fillRect(rect(), colours.background);
    painter.setPen(colours.frame);
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));

    std::array<QString, lane_count> names;
    int name_width = 0;
    for (std::size_t lane = 0; lane < names.size(); ++lane) {
        names.at(lane) = lane < joint_count ? QString::fromUtf8(joint_table.at(lane).name)
                                            : QStringLiteral("Light");
        name_width = std::max(name_width, fontMetrics().horizontalAdvance(names.at(lane)));
    }
    const QRectF lanes(name_width + 12.0, 2.0, width() - name_width - 20.0,
                       lane_count * lane_height);
    auto lane_top = [&](int lane) { return lanes.top() + lane * lane_height; };
    for (int lane = 0; lane < lane_count; ++lane) {
        painter.setPen(colours.text);
        painter.drawText(QRectF(6.0, lane_top(lane), name_width, lane_height),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         names.at(static_cast<std::size_t>(lane)));
        painter.setPen(colours.frame);
        painter.drawLine(QPointF(lanes.left(), lane_top(lane) + lane_height - 0.5),
                         QPointF(lanes.right(), lane_top(lane) + lane_height - 0.5));
    }
    // What the colours mean, along the foot.
    double legend_x = 6.0;
    const double legend_top = lanes.bottom() + axis_height + 2.0;
    const std::array<std::pair<QColor, QString>, 4> legend{{
        {colours.raising, QStringLiteral("up, open or anticlockwise")},
        {colours.lowering, QStringLiteral("down, close or clockwise")},
        {colours.red, QStringLiteral("at its end")},
        {colours.pause, QStringLiteral("pause")},
    }};
    for (const auto& [colour, text] : legend) {
        // Framed, so that the faint pause shows too.
        painter.setPen(colours.frame);
        painter.setBrush(colour);
        painter.drawRect(QRectF(legend_x + 0.5, legend_top + 4.5, 9.0, legend_height - 9.0));
        legend_x += 14.0;
        painter.setPen(colours.text);
        painter.drawText(QRectF(legend_x, legend_top, width() - legend_x, legend_height),
                         Qt::AlignLeft | Qt::AlignVCenter, text);
        legend_x += fontMetrics().horizontalAdvance(text) + 14.0;
    }

    if (preview.steps.empty()) {
        // On a clear patch, not struck through by the lanes' lines.
        const QString nothing = QStringLiteral("No step to run");
        painter.fillRect(
            painter.boundingRect(lanes, Qt::AlignCenter, nothing).adjusted(-6.0, 0.0, 6.0, 0.0),
            colours.background);
        painter.setPen(colours.text);
        painter.drawText(lanes, Qt::AlignCenter, nothing);
        return;
    }

    const double scale = lanes.width() / std::max(preview.duration, 0.01);
    auto x_of = [&](double time) { return lanes.left() + time * scale; };
    // A bar never thinner than a pixel, so that a short step still shows.
    auto span = [&](double from, double to, int lane) {
        const double left = x_of(from);
        return QRectF(left, lane_top(lane) + bar_margin, std::max(1.0, x_of(to) - left),
                      lane_height - 2.0 * bar_margin);
    };

    for (const PreviewPause& pause : preview.pauses) {
        painter.fillRect(QRectF(x_of(pause.start), lanes.top(),
                                std::max(1.0, (pause.end - pause.start) * scale), lanes.height()),
                         colours.pause);
    }
    const int light_lane = lane_count - 1;
    bool light = preview.toggles.empty() ? preview.end_light : !preview.toggles.front().light_on;
    double light_since = 0.0;
    auto light_band = [&](double until) {
        if (light) {
            painter.fillRect(span(light_since, until, light_lane), colours.light_on);
        }
    };
    for (const PreviewToggle& toggle : preview.toggles) {
        light_band(toggle.time);
        light = toggle.light_on;
        light_since = toggle.time;
    }
    light_band(preview.duration);

    for (const PreviewMove& move : preview.moves) {
        const int lane = static_cast<int>(move.joint);
        painter.fillRect(span(move.start, move.end, lane),
                         move.to >= move.from ? colours.raising : colours.lowering);
        if (move.end_stop) {
            painter.fillRect(span(move.start + *move.end_stop, move.end, lane), colours.red);
        }
    }
    painter.setPen(QPen(colours.text, 1.5));
    for (const PreviewToggle& toggle : preview.toggles) {
        const double x = x_of(toggle.time);
        painter.drawLine(QPointF(x, lane_top(light_lane) + 1.0),
                         QPointF(x, lane_top(light_lane) + lane_height - 1.0));
    }

    if (now) {
        const double x = x_of(std::clamp(*now, 0.0, preview.duration));
        painter.setPen(QPen(colours.now, 2.0));
        painter.drawLine(QPointF(x, lanes.top()), QPointF(x, lanes.bottom()));
    }

    const double step = tick_step(smallest_tick_gap / scale);
    const double axis_top = lanes.bottom() + 2.0;
    painter.setPen(colours.text);
    for (int count = 0; count * step <= preview.duration + 1e-9; ++count) {
        const double tick = count * step;
        const double x = x_of(tick);
        painter.drawLine(QPointF(x, lanes.bottom()), QPointF(x, axis_top + 3.0));
        const QString label = seconds_text(tick);
        const double label_width = fontMetrics().horizontalAdvance(label);
        const double left = std::clamp(x - label_width / 2.0, 2.0, width() - label_width - 2.0);
        painter.drawText(QRectF(left, axis_top + 2.0, label_width, axis_height - 2.0),
                         Qt::AlignLeft | Qt::AlignVCenter, label);
    }
}

}  // namespace quillmar
