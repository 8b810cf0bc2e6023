"""Drive a Quillmar robot arm from Python.

Quillmar serves the arm it drives (its window, or ``quillmar serve``) to programs of the same
user on the same computer.  This module speaks to it::

    import quillmar

    arm = quillmar.Arm()
    arm.move("elbow up", 1.5)      # or by command number: arm.move(6, 1.5)
    arm.light(True)
    with arm.hold("base left"):
        time.sleep(0.5)
    arm.run("1,100\\r\\n2,100")
    print(arm.pose())

Motors are named as the window's buttons name them, in any case: "grip", "open", "wrist down",
"wrist up", "elbow down", "elbow up", "shoulder down", "shoulder up", "body anticlockwise" (also
"base left") and "body clockwise" (also "base right"), or by their command numbers 1 to 10.
Every movement runs for a stated time or while held, and always ends in a stop.
"""

import contextlib
import itertools
import json
import os
import socket

__all__ = ["Arm", "ArmError", "socket_path"]


class ArmError(Exception):
    """Quillmar refused a request or its arm reported errors.

    ``code`` is the JSON-RPC error code, ``data`` what the request did all the same, if anything.
    """

    def __init__(self, message, code=None, data=None):
        super().__init__(message)
        self.code = code
        self.data = data


def socket_path():
    """Where Quillmar listens: $QUILLMAR_SOCKET, else $XDG_RUNTIME_DIR/quillmar/arm.sock."""
    path = os.environ.get("QUILLMAR_SOCKET")
    if path:
        return path
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if not runtime:
        raise ArmError("XDG_RUNTIME_DIR is not set: is Quillmar running in this session?")
    return os.path.join(runtime, "quillmar", "arm.sock")


class Arm:
    """A connection to the arm of a running Quillmar.

    The connection drives the arm from its first movement until it closes; while it does, other
    scripts may watch but not move the arm.  Closing it (or the script ending) stops whatever it
    set moving.  Use it as a context manager to close it at the end of a block.
    """

    def __init__(self, path=None):
        """Connects to Quillmar at ``path`` (by default socket_path())."""
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._socket.connect(path or socket_path())
        except OSError as error:
            self._socket.close()
            raise ArmError("Quillmar is not serving the arm: %s" % error) from None
        self._file = self._socket.makefile("rwb")
        self._ids = itertools.count(1)
        self._listeners = {}

    def close(self):
        """Closes the connection; a movement still under way stops."""
        self._file.close()
        self._socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, method, **params):
        """Sends one request and returns its result; notifications meanwhile go to on()."""
        request_id = next(self._ids)
        message = {"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}
        self._file.write(json.dumps(message).encode() + b"\n")
        self._file.flush()
        while True:
            line = self._file.readline()
            if not line:
                raise ArmError("Quillmar closed the connection")
            reply = json.loads(line)
            if "id" not in reply:
                self._dispatch(reply)
            elif reply["id"] == request_id:
                if "error" in reply:
                    error = reply["error"]
                    raise ArmError(error["message"], error["code"], error.get("data"))
                return reply["result"]

    def on(self, event, handler):
        """Calls ``handler(params)`` for each notification ``event`` ("step", "command", "state",
        "error", "message", "run_ended", "hold_ended") that arrives while a request waits."""
        self._listeners[event] = handler

    def _dispatch(self, notification):
        handler = self._listeners.get(notification.get("method"))
        if handler:
            handler(notification.get("params", {}))

    def state(self):
        """What the arm does: {"state", "attached", "light", "driver"}."""
        return self.call("state")

    def attach(self):
        """Attaches the first arm on the bus, as Attach arm does."""
        return self.call("attach")

    def release(self):
        """Switches everything off and lets the arm go, as Release arm does."""
        self.call("release")

    def move(self, motor, seconds):
        """Runs ``motor`` (a name or 1 to 10) for ``seconds`` (at most 15), then stops it.

        Returns the seconds it ran; Stop in the window ends it sooner.
        """
        return self.call("move", motor=motor, seconds=seconds)["seconds"]

    @contextlib.contextmanager
    def hold(self, motor):
        """Runs ``motor`` while the ``with`` block runs (15 s at most), then stops it."""
        self.call("hold", motor=motor)
        try:
            yield self
        finally:
            self.call("let_go")

    def light(self, on=None):
        """Switches the light on or off, or the other way when ``on`` is None; returns it."""
        params = {} if on is None else {"on": bool(on)}
        return self.call("light", **params)["on"]

    def stop(self):
        """Stops every motor and the program under way, as Stop does."""
        self.call("stop")

    def run(self, text, reverse=False, on_step=None):
        """Runs program text (lines such as "6,150"), forwards or retraced in reverse.

        ``on_step(params)`` hears each step as it begins ({"index", "count", "line"}). Returns
        {"stopped_at": None or the step Stop cut short, "messages": the check's lines}.
        """
        if on_step:
            self.on("step", on_step)
        try:
            return self.call("run", text=text, direction="reverse" if reverse else "forwards")
        finally:
            self._listeners.pop("step", None)

    def check(self, text, reverse=False):
        """What a run of ``text`` would do: {"messages", "warnings", "steps", "seconds"}."""
        return self.call("check", text=text, direction="reverse" if reverse else "forwards")

    def pose(self):
        """Where the arm is estimated to be: each joint's angle in degrees (the gripper's opening
        in mm) and the light."""
        return self.call("pose")

    def back_to_start(self):
        """Moves each joint back to where it was when the arm was attached."""
        return self.call("back_to_start")["ended"]

    def subscribe(self):
        """Asks for every notification from now on (see on())."""
        return self.call("subscribe")
