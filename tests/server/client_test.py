#!/usr/bin/env python3
"""The Python module against `quillmar serve --virtual-arm`: what it refuses before sending, its
threads, how each movement ended, its events and its time-outs.

    client_test.py QUILLMAR SOURCE_DIR
"""

import math
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

QUILLMAR, SOURCE = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(SOURCE, "python"))
import quillmar  # noqa: E402


class ClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.folder.name, "arm.sock")
        env = dict(os.environ, QUILLMAR_SOCKET=cls.path, QT_QPA_PLATFORM="offscreen")
        cls.server = subprocess.Popen([QUILLMAR, "serve", "--virtual-arm"], env=env)
        deadline = time.monotonic() + 10
        while not os.path.exists(cls.path) and time.monotonic() < deadline:
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(timeout=10)
        cls.folder.cleanup()

    def setUp(self):
        self.arm = quillmar.Arm(self.path)
        self.addCleanup(self.arm.close)

    def test_wrong_values_are_refused_before_sending(self):
        inf, nan = float("inf"), float("nan")
        rows = [
            ("move", ("elbow up", inf), ValueError),
            ("move", ("elbow up", nan), ValueError),
            ("move", ("elbow up", 0), ValueError),
            ("move", ("elbow up", 15.5), ValueError),
            ("move", ("elbow up", "1"), TypeError),
            ("move", ("elbow up", True), TypeError),
            ("move", (True, 1), TypeError),
            ("move", (0, 1), ValueError),
            ("move", (None, 1), TypeError),
            ("light", ("off",), TypeError),
            ("light", (1,), TypeError),
            ("run", (b"1,10",), TypeError),
            ("run", ("1,10", "reverse"), TypeError),
            ("check", (["1,10"],), TypeError),
            ("on", ("step", "print"), TypeError),
        ]
        for method, arguments, error in rows:
            with self.subTest(method=method, arguments=arguments):
                started = time.monotonic()
                with self.assertRaises(error):
                    getattr(self.arm, method)(*arguments)
                self.assertLess(time.monotonic() - started, 0.5)
        # Nothing of it reached the arm or made this script the driver.
        self.assertIsNone(self.arm.state()["driver"])
        self.assertTrue(math.isfinite(self.arm.pose()["elbow"]))

    def test_how_a_movement_ended(self):
        other = quillmar.Arm(self.path)
        self.addCleanup(other.close)
        rows = [
            ("done", lambda: None, quillmar.Movement(0.2, "done")),
            ("another script's stop", other.stop, "stopped"),
        ]
        for name, meanwhile, expected in rows:
            with self.subTest(name):
                timer = threading.Timer(0.1, meanwhile)
                timer.start()
                moved = self.arm.move("grip", 0.2 if expected != "stopped" else 3)
                timer.join()
                if expected == "stopped":
                    self.assertEqual(moved.ended, "stopped")
                    self.assertLess(moved.seconds, 0.5)
                    self.assertFalse(moved.done)
                else:
                    self.assertEqual(moved.ended, expected.ended)
                    self.assertAlmostEqual(moved.seconds, expected.seconds, delta=0.05)
                    self.assertTrue(moved.done)

    def test_holds(self):
        with self.arm.hold("open") as held:
            self.assertIsInstance(held, quillmar.Hold)
            time.sleep(0.1)
        self.assertEqual(held.ended, "let go")
        # A hold that Stop ended before its block did says so at the block's end.
        other = quillmar.Arm(self.path)
        self.addCleanup(other.close)
        with self.assertRaises(quillmar.HoldEnded):
            with self.arm.hold("grip") as held:
                other.stop()
                time.sleep(0.2)
        self.assertEqual(held.ended, "stopped")
        # Outside a with statement a hold would do nothing: it is refused.
        with self.assertRaises(quillmar.ArmError):
            self.arm.hold("grip")

    def test_a_stop_gets_through_while_a_move_waits(self):
        """The lesson "press Enter to stop": a thread moves, the main thread stops."""
        moved = []
        mover = threading.Thread(target=lambda: moved.append(self.arm.move("elbow up", 5)))
        mover.start()
        time.sleep(0.3)
        started = time.monotonic()
        self.arm.stop()
        mover.join(timeout=5)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(moved[0].ended, "stopped")

    def test_events_come_on_their_own_thread_with_their_time(self):
        heard = []
        done = threading.Event()

        def command(params):
            heard.append((threading.current_thread() is threading.main_thread(), params))
            if params["motor"] == 0:
                done.set()

        self.arm.on("command", command)
        before = time.monotonic()
        self.arm.move("grip", 0.05)
        self.assertTrue(done.wait(5))
        on_main, params = heard[0]
        self.assertFalse(on_main)
        self.assertEqual((params["motor"], params["base"]), (1, 0))
        self.assertTrue(before <= params["time"] <= time.monotonic())

    def test_release_drive_lets_another_drive(self):
        other = quillmar.Arm(self.path)
        self.addCleanup(other.close)
        self.arm.move("grip", 0.05)
        with self.assertRaises(quillmar.ArmError):
            other.move("grip", 0.05)
        self.arm.release_drive()
        self.assertEqual(other.move("grip", 0.05).ended, "done")

    def test_no_server_names_the_path_and_the_remedy(self):
        missing = os.path.join(self.folder.name, "none.sock")
        with self.assertRaises(quillmar.NotServing) as raised:
            quillmar.Arm(missing)
        self.assertIn(missing, str(raised.exception))
        self.assertIn("quillmar serve --virtual-arm", str(raised.exception))

    def test_a_server_that_never_answers_times_out(self):
        path = os.path.join(self.folder.name, "silent.sock")
        silent = socket.socket(socket.AF_UNIX)
        silent.bind(path)
        silent.listen(1)
        self.addCleanup(silent.close)
        arm = quillmar.Arm(path, timeout=0.3)
        self.addCleanup(arm.close)
        started = time.monotonic()
        with self.assertRaises(quillmar.ArmTimeout):
            arm.state()
        self.assertLess(time.monotonic() - started, 1.0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
