#!/usr/bin/env python3
"""Turns the base for up to 10 s while the main thread waits for Enter, then stops it: one
thread moves, another stops, over the same connection."""

import threading

import quillmar

with quillmar.Arm() as arm:
    if not arm.state()["attached"]:
        arm.attach()

    def turn():
        moved = arm.move("base left", 10)
        print("The base turned for %.1f s: %s" % (moved.seconds, moved.ended))

    mover = threading.Thread(target=turn)
    mover.start()
    try:
        input("The base turns for 10 s. Press Enter to stop it.\n")
    except EOFError:
        pass  # no keyboard: stop at once
    arm.stop()
    mover.join()
