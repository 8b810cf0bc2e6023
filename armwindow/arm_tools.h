// The arm window's tools for knowing where the arm is: calibration, soft limits, finding the ends,
// named poses, and stepping and repeating the program.
#pragma once

#include <QGroupBox>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "motion/arm_model.h"
#include "session/arm_client.h"
#include "session/arm_session.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSettings;
class QSpinBox;

namespace quillmar {

// Where the tools keep what they learn: settings of their own for each kind of arm; none keeps
// nothing.
struct ToolSettings {
    QSettings* settings = nullptr;
    QString group;  // "arm" or "virtual_arm"
};

// The soft limits' switch, on unless the settings keep it off.
QCheckBox* soft_limits_switch(ArmSession& session, const ToolSettings& kept, QWidget* parent);

// Each joint's full travel up and down in seconds, typed or timed from the user's holds, with the
// soft limits' switch and "Find the ends".
class CalibrationBox : public QGroupBox {
    Q_OBJECT
  public:
    CalibrationBox(ArmClient& hand, ToolSettings kept, QWidget* parent);

    // The speeds shown, as the session's estimate uses them.
    JointSpeeds speeds() const;
    // Times the travels of `joint` from the holds that follow, step by step as the note says.
    void start_timing(Joint joint);
    // The next step of the timing: the hold just made is counted.
    void next_timing_step();
    // Drives `joint` into the end it is nearer by the estimate for longer than its full travel,
    // then puts the estimate there; false when it was stopped or refused.
    bool find_end(Joint joint);
    QString note_text() const;

  private:
    void apply(const JointSpeeds& speeds);
    void show_speeds(const JointSpeeds& speeds);
    void take_command(ArmCommand command);
    void end_timing();
    void ask_and_find_ends();

    ArmSession& session;
    ArmClient& hand;
    ToolSettings kept;
    std::array<QDoubleSpinBox*, joint_count> up_seconds{};
    std::array<QDoubleSpinBox*, joint_count> down_seconds{};
    QCheckBox* soft_limits = nullptr;
    QComboBox* joint_choice = nullptr;
    QPushButton* time_button = nullptr;
    QPushButton* next_button = nullptr;
    QPushButton* find_button = nullptr;
    QLabel* note = nullptr;
    // The timing under way: its joint, its step (0 to the first end, 1 down, 2 up), the drive of
    // the joint since `since`, and the seconds counted each way.
    std::optional<Joint> timed;
    int timing_step = 0;
    int drive = 0;
    double since = 0.0;
    double counted = 0.0;
    double down_travel = 0.0;
};

// Poses saved under a name: go to one, or write the way there into the program.
class PoseBox : public QGroupBox {
    Q_OBJECT
  public:
    // `program` and `cursor` give the program's text and where its pane's cursor stands in it,
    // where Insert puts the way to a pose.
    PoseBox(ArmClient& hand, ToolSettings kept, std::function<QString()> program,
            std::function<qsizetype()> cursor, QWidget* parent);

    // Keeps the estimate's pose now under `name`; false when the name has nothing visible.
    bool save_pose(const QString& name);
    std::optional<Pose> pose_named(const QString& name) const;
    QComboBox& choice() { return *names; }
    QString note_text() const;

  signals:
    // Go to drives towards `pose`; none once it has ended.
    void destination(const std::optional<quillmar::Pose>& pose);

  private:
    void ask_and_save();
    void go_to();
    void write();
    void read();

    ArmSession& session;
    ArmClient& hand;
    ToolSettings kept;
    std::function<QString()> program;
    std::function<qsizetype()> cursor;
    QComboBox* names = nullptr;
    QPushButton* go = nullptr;
    QPushButton* insert = nullptr;
    QPushButton* forget = nullptr;
    QLabel* note = nullptr;
    std::vector<std::pair<QString, Pose>> poses;
};

// Step runs the program's next step alone; Repeat runs it several times, going back to the start
// between runs when asked.
class StepBox : public QGroupBox {
    Q_OBJECT
  public:
    StepBox(ArmClient& hand, std::function<QString()> program, QWidget* parent);

    void step();
    void repeat();
    QSpinBox& runs() { return *times; }
    QCheckBox& back_between() { return *back; }
    QString note_text() const;

  private:
    void show_next();

    ArmSession& session;
    ArmClient& hand;
    std::function<QString()> program;
    QPushButton* step_button = nullptr;
    QPushButton* repeat_button = nullptr;
    QSpinBox* times = nullptr;
    QCheckBox* back = nullptr;
    QLabel* note = nullptr;
    // The program the next step is counted in, and that step.
    QString stepped;
    int next = 0;
    int step_count = 0;
};

struct ArmTool {
    QString title;
    QWidget* widget;
};

// The tools for the arm window's tabs: calibration only where the arm is estimated, and the true
// pose of a virtual arm whose speeds differ from its estimate's, when `true_arm` is one. `program`
// gives the program's text, `cursor` where its pane's cursor stands in it.
std::vector<ArmTool> arm_tools(ArmClient& hand, ToolSettings kept, std::function<QString()> program,
                               std::function<qsizetype()> cursor, bool estimate,
                               const ArmModel* true_arm);

}  // namespace quillmar
