#include "arm_colours.h"

#include <QPalette>

namespace quillmar {

namespace {

// `share` of the way from `from` to `to`.
QColor mix(const QColor& from, const QColor& to, double share) {
    return QColor::fromRgbF(
        static_cast<float>(from.redF() + share * (to.redF() - from.redF())),
        static_cast<float>(from.greenF() + share * (to.greenF() - from.greenF())),
        static_cast<float>(from.blueF() + share * (to.blueF() - from.blueF())));
}

}  // namespace

ArmColours arm_colours(const QPalette& palette) {
    // The active colours, also in a window that lacks the keyboard: some styles grey those out.
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    const bool dark = text.lightness() > base.lightness();
    // Each mark at least 3:1 against the base, and the red at least 4.5:1 against the base and
    // the window of the light and dark palettes the tests use.
    auto pick = [dark](QColor on_light, QColor on_dark) { return dark ? on_dark : on_light; };
    return {
        .background = base,
        .text = text,
        .frame = mix(base, text, 0.35),
        .pause = mix(base, text, 0.12),
        .ground = QColor(150, 120, 90),
        .body = pick({60, 75, 110}, {150, 170, 215}),
        .joint = pick({120, 128, 140}, {170, 178, 190}),
        .finger = pick({40, 45, 55}, {225, 228, 235}),
        .lamp_off = QColor(205, 205, 200),
        .glow = QColor(255, 214, 64),
        .ghost = pick({20, 150, 120}, {70, 210, 170}),
        .red = pick({190, 0, 0}, {255, 140, 140}),
        .raising = pick({60, 90, 160}, {110, 150, 235}),
        .lowering = pick({40, 150, 170}, {60, 195, 210}),
        .light_on = QColor(255, 214, 64),
        .now = pick({200, 0, 90}, {255, 100, 170}),
    };
}

}  // namespace quillmar
