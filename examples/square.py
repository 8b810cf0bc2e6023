#!/usr/bin/env python3
"""Draws a square in the air with the base and the shoulder, then shows where the arm ended."""

import quillmar

SIDE = 0.4  # seconds each motor runs for one side

with quillmar.Arm() as arm:
    if not arm.state()["attached"]:
        arm.attach()
    for motor in ("base left", "shoulder up", "base right", "shoulder down"):
        arm.move(motor, SIDE)
    pose = arm.pose()
    print("base %.1f°, shoulder %.1f°" % (pose["base"], pose["shoulder"]))
