// Blocks compile to the lines a run performs, and program text shown as blocks comes back as it
// was.
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include "blocks/block_program.h"
#include "programs/program_check.h"

using namespace quillmar;

namespace {

int next_id = 0;

QJsonObject block(const QString& type, const QJsonObject& fields) {
    return {{"type", type}, {"id", QStringLiteral("b%1").arg(next_id++)}, {"fields", fields}};
}

QJsonObject move(const char* joint, int command, double seconds) {
    return block(QStringLiteral("quillmar_") + QLatin1String(joint),
                 {{"COMMAND", QString::number(command)}, {"SECONDS", seconds}});
}

QJsonObject light(bool on) {
    return block("quillmar_light", {{"STATE", on ? "on" : "off"}});
}

QJsonObject note(const QString& text) {
    return block("quillmar_note", {{"TEXT", text}});
}

// Each block after the first in `blocks` follows the one before it.
QJsonObject chained(const QJsonArray& blocks) {
    QJsonObject next;
    for (auto at = blocks.size(); at-- > 0;) {
        QJsonObject one = blocks[at].toObject();
        if (!next.isEmpty()) {
            one["next"] = QJsonObject{{"block", next}};
        }
        next = one;
    }
    return next;
}

QJsonObject repeat(double times, const QJsonArray& body) {
    QJsonObject one = block("controls_repeat", {{"TIMES", times}});
    one["inputs"] = QJsonObject{{"DO", QJsonObject{{"block", chained(body)}}}};
    return one;
}

QJsonObject workspace(const QJsonArray& blocks) {
    QJsonObject program{{"type", "quillmar_program"}, {"id", "program"}};
    if (!blocks.isEmpty()) {
        program["next"] = QJsonObject{{"block", chained(blocks)}};
    }
    return {{"blocks", QJsonObject{{"languageVersion", 0}, {"blocks", QJsonArray{program}}}}};
}

BlocksContext context_with_poses() {
    BlocksContext context;
    Pose high = start_pose();
    high[1] = 98.0;  // the shoulder 18° up: 1 s of Shoulder Up
    high[4] = 4.0;   // the gripper 16 mm closed: 2 s of Grip
    context.poses.push_back({"high", high});
    return context;
}

}  // namespace

class BlockProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void blocks_compile_to_lines_data() {
        QTest::addColumn<QJsonArray>("blocks");
        QTest::addColumn<bool>("light");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("steps");
        QTest::newRow("nothing") << QJsonArray{} << false << "" << 0;
        QTest::newRow("moves in hundredths")
            << QJsonArray{move("elbow", 6, 0.5), move("base", 9, 14.99)} << false
            << "6,50\r\n9,1499\r\n"
            << 2;
        QTest::newRow("light switched only when it differs")
            << QJsonArray{light(true), light(false), light(false)} << false << "0,\r\n0,\r\n"
            << 2;
        QTest::newRow("light already on at the start")
            << QJsonArray{light(true), light(false)} << true << "0,\r\n"
            << 1;
        QTest::newRow("repeat unrolled")
            << QJsonArray{repeat(3, {move("gripper", 1, 0.2), move("gripper", 2, 0.2)})} << false
            << "1,20\r\n2,20\r\n1,20\r\n2,20\r\n1,20\r\n2,20\r\n"
            << 6;
        QTest::newRow("nested repeats")
            << QJsonArray{repeat(2, {repeat(2, {light(true), light(false)})})} << false
            << QString("0,\r\n").repeated(8) << 8;
        QTest::newRow("repeat none")
            << QJsonArray{repeat(0, {move("wrist", 3, 1)})} << false << "" << 0;
        QTest::newRow("go to a named pose")
            << QJsonArray{block("quillmar_go_to", {{"POSE", "high"}})} << false
            << "8,100\r\n1,200\r\n"
            << 2;
        QTest::newRow("back to start retraces, latest moved first")
            << QJsonArray{move("shoulder", 8, 1), move("elbow", 6, 2), light(true),
                          block("quillmar_back_to_start", {})}
            << false << "8,100\r\n6,200\r\n0,\r\n0,\r\n5,200\r\n7,100\r\n"
            << 6;
        QTest::newRow("back to start from the end of travel")
            << QJsonArray{move("wrist", 4, 14.99), block("quillmar_back_to_start", {})} << false
            << "4,1499\r\n3,333\r\n"
            << 2;
        QTest::newRow("a note stays a line that does not run")
            << QJsonArray{note("wave now"), move("base", 10, 1)} << false
            << "wave now\r\n10,100\r\n"
            << 1;
        QTest::newRow("the most steps a program holds")
            << QJsonArray{repeat(128, {light(true), light(false)})} << false
            << QString("0,\r\n").repeated(256) << 256;
    }
    void blocks_compile_to_lines() {
        QFETCH(QJsonArray, blocks);
        QFETCH(bool, light);
        QFETCH(QString, text);
        QFETCH(int, steps);
        BlocksContext context = context_with_poses();
        context.light = light;
        const CompiledBlocks compiled = compile_blocks(workspace(blocks), context);
        QCOMPARE(compiled.refusal, QString());
        QCOMPARE(compiled.text, text);
        QCOMPARE(compiled.steps, steps);
        QCOMPARE(compiled.blocks.size(), text.count(QStringLiteral("\r\n")));
        QCOMPARE(static_cast<int>(check_program(text, {}).steps.size()), steps);
    }

    // The highlight of a running line finds the block that made it, also inside a repeat and
    // for each line of a go-to.
    void each_line_names_its_block() {
        const QJsonObject shoulder = move("shoulder", 8, 0.3);
        const QJsonObject go_to = block("quillmar_go_to", {{"POSE", "high"}});
        const CompiledBlocks compiled =
            compile_blocks(workspace({repeat(2, {shoulder}), go_to}), context_with_poses());
        const QString s = shoulder["id"].toString();
        const QString g = go_to["id"].toString();
        QCOMPARE(compiled.blocks, (QStringList{s, s, g, g}));
    }

    void light_that_changes_nothing_is_noted() {
        const QJsonObject off = light(false);
        const CompiledBlocks compiled =
            compile_blocks(workspace({repeat(3, {off})}), BlocksContext{});
        QCOMPARE(compiled.notes.size(), 1U);
        QCOMPARE(compiled.notes.front().block, off["id"].toString());
    }

    void blocks_refused_data() {
        QTest::addColumn<QJsonArray>("blocks");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("one step too many")
            << QJsonArray{repeat(130, {move("base", 9, 0.01), move("base", 10, 0.01)})}
            << "The blocks make more than 256 steps, and a program holds 256 steps at most: "
               "repeat fewer times or use fewer blocks.";
        QTest::newRow("too many repeats nested")
            << QJsonArray{repeat(200, {repeat(200, {repeat(200, {move("base", 9, 0.01)})})})}
            << "The blocks make more than 256 steps, and a program holds 256 steps at most: "
               "repeat fewer times or use fewer blocks.";
        QTest::newRow("lines without steps bounded")
            << QJsonArray{repeat(256, {repeat(256, {note("x")})})}
            << "The blocks make more than 1024 lines.";
        QTest::newRow("repeats of what makes no line")
            << QJsonArray{repeat(256, {repeat(256, {repeat(256, {light(false)})})})}
            << "The repeats are nested too deep to write out.";
        QTest::newRow("repeat of a fraction")
            << QJsonArray{repeat(1.5, {})} << "A repeat runs 0 to 256 times.";
        QTest::newRow("repeat below none")
            << QJsonArray{repeat(-1, {})} << "A repeat runs 0 to 256 times.";
        QTest::newRow("no such pose") << QJsonArray{block("quillmar_go_to", {{"POSE", "low"}})}
                                      << "There is no pose named \"low\".";
        QTest::newRow("a movement too long")
            << QJsonArray{move("elbow", 5, 15)} << "A movement lasts 0.01 to 14.99 seconds.";
        QTest::newRow("a movement too short")
            << QJsonArray{move("elbow", 5, 0.004)} << "A movement lasts 0.01 to 14.99 seconds.";
        QTest::newRow("a command of another joint")
            << QJsonArray{move("elbow", 8, 1)} << "This block names no way to move the elbow.";
        QTest::newRow("a note that would run")
            << QJsonArray{note("8,60")} << "This note reads as a step and would run: 8,60";
        QTest::newRow("a note of two lines")
            << QJsonArray{note("a\nb")} << "A note holds one line.";
        QTest::newRow("an unknown block") << QJsonArray{block("fly", {})} << "Unknown block: fly";
    }
    void blocks_refused() {
        QFETCH(QJsonArray, blocks);
        QFETCH(QString, refusal);
        const CompiledBlocks compiled = compile_blocks(workspace(blocks), context_with_poses());
        QCOMPARE(compiled.refusal, refusal);
        QCOMPARE(compiled.text, QString());
    }

    void workspace_without_program_block_refused() {
        const CompiledBlocks compiled = compile_blocks(QJsonObject{}, BlocksContext{});
        QCOMPARE(compiled.refusal, QString("The blocks have no program block to start from."));
    }

    void program_round_trip_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("light");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("lines ended by CR LF") << "8,60\r\n0,\r\n7,60\r\n" << false;
        QTest::newRow("the last line without its end") << "8,60\r\n7,60" << false;
        QTest::newRow("lone LF and lone CR") << "1,20\n2,20\r3,40\n" << false;
        QTest::newRow("spaces and tabs kept") << "  8 , 60 \r\n\t9,\t80\r\n" << false;
        QTest::newRow("spaces after the last line") << "8,60\r\n   " << false;
        QTest::newRow("numbers in other forms") << "&H8,60\r\n8,60.4\r\n+9,8e1\r\n0,5\r\n" << true;
        QTest::newRow("light from on") << "0,\r\n0,\r\n" << true;
        QTest::newRow("lines that do not run") << "hello\r\n\r\n11,20\r\n5,0\r\n5,1500\r\n"
                                               << false;
        QTest::newRow("the most steps") << QString("1,1\r\n").repeated(256) << false;
    }
    void program_round_trip() {
        QFETCH(QString, text);
        QFETCH(bool, light);
        QString refusal;
        const QJsonObject blocks = blocks_of_program(text, light, &refusal);
        QCOMPARE(refusal, QString());
        // The page saves and loads the workspace as JSON text.
        const QJsonObject loaded = QJsonDocument::fromJson(QJsonDocument(blocks).toJson()).object();
        BlocksContext context;
        context.light = light;
        const CompiledBlocks compiled = compile_blocks(loaded, context);
        QCOMPARE(compiled.refusal, QString());
        QCOMPARE(compiled.text, text);
    }

    // A line read from a file keeps its text only while its block says what it said.
    void edited_block_writes_its_own_line() {
        QString refusal;
        QJsonObject blocks = blocks_of_program("  8 , 60 \r\n", false, &refusal);
        QJsonObject top = blocks["blocks"].toObject()["blocks"].toArray()[0].toObject();
        QJsonObject first = top["next"].toObject()["block"].toObject();
        QCOMPARE(first["type"].toString(), QString("quillmar_shoulder"));
        first["fields"] = QJsonObject{{"COMMAND", "7"}, {"SECONDS", 0.6}};
        top["next"] = QJsonObject{{"block", first}};
        blocks["blocks"] = QJsonObject{{"blocks", QJsonArray{top}}};
        QCOMPARE(compile_blocks(blocks, BlocksContext{}).text, QString("7,60\r\n"));
    }

    void lines_become_blocks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("types");
        QTest::newRow("each joint, the light, a note")
            << "9,1\r\n8,1\r\n5,1\r\n4,1\r\n2,1\r\n0,\r\noops\r\n"
            << QStringList{"quillmar_base",  "quillmar_shoulder", "quillmar_elbow",
                           "quillmar_wrist", "quillmar_gripper",  "quillmar_light",
                           "quillmar_note"};
        QTest::newRow("a step beyond the table is a note")
            << QString("1,1\r\n").repeated(257)
            << (QStringList(256, "quillmar_gripper") << "quillmar_note");
    }
    void lines_become_blocks() {
        QFETCH(QString, text);
        QFETCH(QStringList, types);
        QString refusal;
        QJsonObject one = blocks_of_program(text, false, &refusal)["blocks"]
                              .toObject()["blocks"]
                              .toArray()[0]
                              .toObject();
        QStringList found;
        while (!(one = one["next"].toObject()["block"].toObject()).isEmpty()) {
            found << one["type"].toString();
        }
        QCOMPARE(found, types);
    }

    void text_too_long_for_blocks_refused() {
        QString refusal;
        QVERIFY(blocks_of_program(QString("x\n").repeated(401), false, &refusal).isEmpty());
        QCOMPARE(refusal, QString("A program of more than 400 lines cannot be shown as blocks."));
    }
};

QTEST_GUILESS_MAIN(BlockProgramTest)
#include "block_program_test.moc"
