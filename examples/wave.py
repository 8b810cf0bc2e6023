#!/usr/bin/env python3
"""Raises the arm and waves the hand: a loop and a function instead of a program's lines."""

import quillmar


def wave(arm, times):
    """Turns the wrist up and down `times` times, with the light on while it waves."""
    arm.light(True)
    for _ in range(times):
        arm.move("wrist up", 0.3)
        arm.move("wrist down", 0.3)
    arm.light(False)


with quillmar.Arm() as arm:
    if not arm.state()["attached"]:
        arm.attach()
    try:
        arm.move("shoulder up", 0.5)
        arm.move("elbow up", 0.5)
        wave(arm, 3)
        arm.move("elbow down", 0.5)
        arm.move("shoulder down", 0.5)
    except quillmar.StoppedByUser:
        # Stop or Escape at the arm: the person there wins, and the script ends.
        print("Stopped at the arm")
