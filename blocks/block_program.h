// The blocks page's programs: a workspace of blocks compiled to program lines, and program text
// turned into blocks, so that the page and the program pane run the same lines.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "motion/arm_model.h"
#include "motion/pose_settings.h"

namespace quillmar {

// The longest program text shown as blocks: a workspace nests each block in the one above it, and
// JSON readers refuse nesting deeper than about a thousand levels.
inline constexpr qsizetype most_block_lines = 400;

// Where the arm is when the program starts, and what a go-to and Back to start aim for.
struct BlocksContext {
    Pose pose = start_pose();
    bool light = false;
    Pose origin = start_pose();
    bool origin_light = false;
    JointSpeeds speeds = JointSpeeds::built_in();
    std::vector<NamedPose> poses;
};

// A remark on one block: a light switched to what it already is.
struct BlockNote {
    QString block;  // the block's id
    QString text;
};

struct CompiledBlocks {
    QString text;        // the program, lines ended by CR LF unless the blocks kept their own
    QStringList blocks;  // for each line of the text, the id of the block it came from
    int steps = 0;       // lines that run
    std::vector<BlockNote> notes;
    // Empty when the blocks compiled; else why not, and the block it concerns (or none).
    QString refusal;
    QString refused_block;
};

// The program that the blocks under the workspace's program block make, from the arm as
// `context` has it: repeats and go-tos unrolled into lines, a light switched only when it is not
// already so. A line read from a program file comes back exactly as it was while its block says
// what the line did.
CompiledBlocks compile_blocks(const QJsonObject& workspace, const BlocksContext& context);

// `text` as a workspace: one block a line under a program block, a line that will not run as a
// marked note block; `light` is the light when the program starts. Empty with `refusal` set when
// the text is too long to show as blocks.
QJsonObject blocks_of_program(const QString& text, bool light, QString* refusal);

}  // namespace quillmar
