#!/usr/bin/env python3
"""Reads a program file, runs it, then retraces it in reverse to bring the arm back.

    python3 reverse_program.py square.rob
"""

import sys

import quillmar


def show_step(step):
    print("step %d of %d: %s" % (step["index"] + 1, step["count"], step["line"]))


if len(sys.argv) != 2:
    sys.exit("usage: reverse_program.py PROGRAM.rob")
with open(sys.argv[1], encoding="latin-1", newline="") as program_file:
    text = program_file.read()

with quillmar.Arm() as arm:
    if not arm.state()["attached"]:
        arm.attach()
    checked = arm.check(text)
    for warning in checked["warnings"]:
        print("warning:", warning)
    print("%d steps, %.1f s each way" % (checked["steps"], checked["seconds"]))
    arm.run(text, on_step=show_step)
    ended = arm.run(text, reverse=True, on_step=show_step)
    if ended["stopped_at"] is not None:
        sys.exit("stopped")
