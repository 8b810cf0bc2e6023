// WCAG 2 relative luminance and contrast ratio, for the tests of legible colours.
#pragma once

#include <QColor>
#include <algorithm>
#include <cmath>

namespace quillmar::testing {

inline double luminance(const QColor& colour) {
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

inline double contrast(const QColor& a, const QColor& b) {
    const auto [low, high] = std::minmax({luminance(a), luminance(b)});
    return (high + 0.05) / (low + 0.05);
}

}  // namespace quillmar::testing
