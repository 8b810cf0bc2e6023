// The timeline of a program's preview: a lane per joint with its movements, a lane for the light.
#pragma once

#include <QWidget>
#include <optional>

#include "programs/program_preview.h"

namespace quillmar {

class PreviewTimeline : public QWidget {
    Q_OBJECT
  public:
    explicit PreviewTimeline(QWidget* parent = nullptr);
    void set_preview(const ProgramPreview& preview);
    const ProgramPreview& shown() const { return preview; }
    // Marks how far into the previewed run a run has come; nothing marks no run.
    void set_now(std::optional<double> seconds);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ProgramPreview preview;
    std::optional<double> now;
};

}  // namespace quillmar
