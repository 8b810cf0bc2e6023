#!/usr/bin/env python3
"""Runs the Python examples against `quillmar serve --virtual-arm` and checks the commands that
reached the emulated arm, as a second client subscribed to them saw them.

    run_examples.py QUILLMAR SOURCE_DIR
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

quillmar_program, source = sys.argv[1], sys.argv[2]

STOP = (0, 0, 0)
EXPECTED = {
    "wave.py": [(64, 0, 0), STOP, (16, 0, 0), STOP, (0, 0, 1)]
    + [(4, 0, 1), (0, 0, 1), (8, 0, 1), (0, 0, 1)] * 3
    + [(0, 0, 0), (32, 0, 0), STOP, (128, 0, 0), STOP],
    "square.py": [(0, 2, 0), STOP, (64, 0, 0), STOP, (0, 1, 0), STOP, (128, 0, 0), STOP],
    # Forwards 1 then 8, retraced as 7 then 2.
    "reverse_program.py": [(1, 0, 0), STOP, (64, 0, 0), STOP, (128, 0, 0), STOP, (2, 0, 0), STOP],
    # Enter pressed half a second into the 10 s turn: the move's stop, then Stop's two.
    "press_enter_to_stop.py": [(0, 2, 0), STOP, STOP, STOP],
}


class Watcher(threading.Thread):
    """A client that subscribes and keeps every command the arm took."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.connection = socket.socket(socket.AF_UNIX)
        self.connection.connect(path)
        self.lines = self.connection.makefile("rwb")
        self.lines.write(b'{"jsonrpc":"2.0","id":1,"method":"subscribe"}\n')
        self.lines.flush()
        json.loads(self.lines.readline())
        self.commands = []
        self.lock = threading.Lock()

    def run(self):
        for line in self.lines:
            message = json.loads(line)
            if message.get("method") == "command":
                params = message["params"]
                with self.lock:
                    self.commands.append((params["motor"], params["base"], params["light"]))

    def take(self):
        time.sleep(0.2)
        with self.lock:
            taken, self.commands = self.commands, []
        return taken


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "arm.sock")
        env = dict(os.environ, QUILLMAR_SOCKET=path, QT_QPA_PLATFORM="offscreen",
                   PYTHONPATH=os.path.join(source, "python"))
        server = subprocess.Popen([quillmar_program, "serve", "--virtual-arm"], env=env)
        try:
            for _ in range(100):
                if os.path.exists(path):
                    break
                time.sleep(0.05)
            watcher = Watcher(path)
            watcher.start()
            program = os.path.join(folder, "short.rob")
            with open(program, "w", newline="") as out:
                out.write("1,20\r\n8,30\r\n")
            for example, expected in EXPECTED.items():
                arguments = [program] if example == "reverse_program.py" else []
                started = time.monotonic()
                ran = subprocess.Popen([sys.executable, os.path.join(source, "examples", example)]
                                       + arguments, env=env, stdin=subprocess.PIPE)
                time.sleep(0.5)
                ran.communicate(b"\n", timeout=60)
                took = time.monotonic() - started
                commands = watcher.take()
                if ran.returncode != 0 or commands != expected or took > 8:
                    failures += 1
                    print("FAIL %s: exit %d after %.1f s, commands %s, expected %s"
                          % (example, ran.returncode, took, commands, expected))
                else:
                    print("PASS %s: %d commands" % (example, len(commands)))
            # The module's own line from the issue: moving the gripper for a second.
            subprocess.run([sys.executable, "-c",
                            "import quillmar; a=quillmar.Arm(); a.move('grip', 1)"],
                           env=env, check=True, timeout=30)
            if watcher.take() != [(1, 0, 0), STOP]:
                failures += 1
                print("FAIL move('grip', 1)")
        finally:
            server.terminate()
            if server.wait(timeout=10) != 0:
                failures += 1
                print("FAIL quillmar serve ended with", server.returncode)
    return 1 if failures else 0


sys.exit(main())
