// A window face for the arm link without widgets: panes as strings, the indicator as a bool.
#pragma once

#include <QString>

#include "armlink/arm_reports.h"

namespace quillmar::testing {

class FakeArmReports : public ArmReports {
  public:
    void show_message(const QString& text) override { message += text + QStringLiteral("\r\n"); }
    void show_error(const QString& text) override { error += text + QStringLiteral("\r\n"); }
    void set_light_indicator(bool ticked) override { light = ticked; }

    QString message;
    QString error;
    bool light = false;
};

}  // namespace quillmar::testing
