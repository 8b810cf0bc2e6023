"""Drive a Quillmar robot arm from Python.

Quillmar serves the arm it drives (its window, or ``quillmar serve``) to programs of the same
user on the same computer.  This module speaks to it::

    import time
    import quillmar

    with quillmar.Arm() as arm:
        moved = arm.move("elbow up", 1.5)    # or by command number: arm.move(6, 1.5)
        print(moved.seconds, moved.ended)    # 1.5 done
        arm.light(True)
        with arm.hold("base left") as held:
            time.sleep(0.5)
        print(held.ended)                    # let go
        arm.run("1,100\\r\\n2,100")
        print(arm.pose())

Motors are named as the window's buttons name them, in any case: "grip", "open", "wrist down",
"wrist up", "elbow down", "elbow up", "shoulder down", "shoulder up", "body anticlockwise" (also
"base left") and "body clockwise" (also "base right"), or by their command numbers 1 to 10.
Every movement runs for a stated time or while held, and always ends in a stop.

One ``Arm`` may be used from several threads: a ``stop()`` from one gets through while a
``move()`` waits in another.  Notifications reach the handlers given to ``on()`` on a thread of
their own, with the time they were sent at (``params["time"]``, as ``time.monotonic()`` reads).
"""

import dis
import itertools
import json
import math
import os
import queue
import socket
import sys
import threading
from typing import Any, Callable, Dict, NamedTuple, Optional, Union

__version__ = "0.1.0"
__all__ = [
    "Arm",
    "ArmError",
    "ArmTimeout",
    "Hold",
    "HoldEnded",
    "Movement",
    "NotServing",
    "StoppedByUser",
    "socket_path",
]

Motor = Union[str, int]
Handler = Callable[[Dict[str, Any]], None]

LONGEST_MOVE = 15.0  # seconds a motor may run in one movement
# Beyond a movement's own time: its stop command, which the arm may take only after retries.
MARGIN = 5.0
# A whole way back: five joints and the light, each at most a movement.
LONGEST_WAY_BACK = 6 * LONGEST_MOVE
STOPPED_BY_USER = -32002
# Notifications that reach a connection only once it subscribed.
SUBSCRIBED_EVENTS = {"state", "command", "message", "error", "run_ended", "stopped"}


class ArmError(Exception):
    """Quillmar refused a request or its arm reported errors.

    ``code`` is the JSON-RPC error code, ``data`` what the request did all the same, if anything.
    """

    def __init__(self, message: str, code: Optional[int] = None, data: Any = None):
        super().__init__(message)
        self.code = code
        self.data = data


class NotServing(ArmError):
    """No Quillmar serves the arm where this module looked."""


class ArmTimeout(ArmError):
    """Quillmar did not answer in time: the longest the request may take, and a margin."""


class StoppedByUser(ArmError):
    """The person at the arm (Stop, Escape, the pad, a motor button) ended this movement or run.

    Every later movement is refused the same way until ``Arm.resume()``.
    """


class HoldEnded(ArmError):
    """A hold ended by itself (Stop, its 15 s, a joint's end) before its ``with`` block did."""


class Movement(NamedTuple):
    """How a movement went: the seconds its motor ran, and how it ended ("done", "let go",
    "stopped", "at its end", "arm released", "closing", "not started")."""

    seconds: float
    ended: str

    @property
    def done(self) -> bool:
        """It ran as long as asked."""
        return self.ended in ("done", "let go")


def socket_path() -> str:
    """Where Quillmar listens: $QUILLMAR_SOCKET, else $XDG_RUNTIME_DIR/quillmar/arm.sock."""
    path = os.environ.get("QUILLMAR_SOCKET")
    if path:
        return path
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if not runtime:
        raise NotServing("Quillmar is not serving the arm: neither QUILLMAR_SOCKET nor "
                         "XDG_RUNTIME_DIR is set, so there is nowhere to look. Start Quillmar, "
                         "or `quillmar serve --virtual-arm`, in this login's session.")
    return os.path.join(runtime, "quillmar", "arm.sock")


def _motor(motor: Motor) -> Motor:
    if isinstance(motor, bool) or not isinstance(motor, (str, int)):
        raise TypeError("motor: a name such as \"elbow up\" or a number 1 to 10, not %r" % (motor,))
    if isinstance(motor, int) and not 1 <= motor <= 10:
        raise ValueError("motor: a number 1 to 10, not %d" % motor)
    return motor


def _seconds(seconds: float) -> float:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("seconds: a number, not %r" % (seconds,))
    if not math.isfinite(seconds) or not 0 < seconds <= LONGEST_MOVE:
        raise ValueError("seconds: above 0 and at most %g, not %r" % (LONGEST_MOVE, seconds))
    return float(seconds)


def _text(text: str) -> str:
    if not isinstance(text, str):
        raise TypeError("text: program lines as a str, not %r" % (text,))
    return text


def _direction(reverse: bool) -> str:
    if not isinstance(reverse, bool):
        raise TypeError("reverse: True or False, not %r" % (reverse,))
    return "reverse" if reverse else "forwards"


def _in_with_statement(frame) -> bool:
    """Whether the call under way in ``frame`` is the expression of a ``with`` statement."""
    with_opcodes = {"SETUP_WITH", "BEFORE_WITH"}
    if not with_opcodes & set(dis.opmap):
        return True  # a Python whose bytecode this does not know: trust the caller
    following = [i for i in dis.get_instructions(frame.f_code) if i.offset > frame.f_lasti]
    return bool(following) and following[0].opname in with_opcodes


class _Call:
    """A request waiting for its reply."""

    def __init__(self):
        self.done = threading.Event()
        self.reply = None  # type: Optional[Dict[str, Any]]


class Hold:
    """A motor that runs while the ``with`` block runs (15 s at most).

    ``ended`` and ``seconds`` say how it ended once it has; a hold that ended by itself raises
    ``HoldEnded`` at the end of the block.
    """

    def __init__(self, arm: "Arm", motor: Motor):
        self.arm = arm
        self.motor = motor
        self.ended = None  # type: Optional[str]
        self.seconds = None  # type: Optional[float]
        self._entered = False

    def __enter__(self) -> "Hold":
        if self._entered:
            raise ArmError("a hold runs once: write another `with arm.hold(...)`")
        self._entered = True
        self.arm._hold = self
        self.arm.call("hold", motor=self.motor)
        return self

    def __exit__(self, kind, value, traceback) -> None:
        try:
            result = self.arm.call("let_go")
        finally:
            self.arm._hold = None
        if result:
            self._ended(result)
        if kind is None and self.ended not in (None, "let go"):
            raise HoldEnded("the hold of %r ended by itself after %.2f s (%s), before its with "
                            "block did" % (self.motor, self.seconds, self.ended),
                            data=result)

    def _ended(self, result: Dict[str, Any]) -> None:
        self.ended = result.get("ended")
        self.seconds = result.get("seconds")


class Arm:
    """A connection to the arm of a running Quillmar.

    The connection drives the arm from its first movement until it closes or calls
    ``release_drive()``; while it does, other scripts may watch but not move the arm.  Closing it
    (or the script ending) stops whatever it set moving.  Use it as a context manager to close it
    at the end of a block.  ``timeout`` bounds the calls that do not move the arm; a movement
    waits its own time and a margin.
    """

    def __init__(self, path: Optional[str] = None, timeout: float = 10.0):
        """Connects to Quillmar at ``path`` (by default socket_path())."""
        path = path or socket_path()
        self.timeout = timeout
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._socket.connect(path)
        except OSError as error:
            self._socket.close()
            raise NotServing("Quillmar is not serving the arm at %s (%s): start Quillmar, or "
                             "`quillmar serve --virtual-arm`" % (path, error.strerror or error)
                             ) from None
        self._reader = self._socket.makefile("rb")
        self._ids = itertools.count(1)
        self._write_lock = threading.Lock()
        self._calls_lock = threading.Lock()
        self._calls = {}  # type: Dict[int, _Call]
        self._listeners = {}  # type: Dict[str, Handler]
        self._subscribed = False
        self._closed = False
        self._hold = None  # type: Optional[Hold]
        self._events = queue.Queue()  # type: queue.Queue
        self._reading = threading.Thread(target=self._read, name="quillmar replies", daemon=True)
        self._reading.start()
        self._telling = threading.Thread(target=self._tell, name="quillmar events", daemon=True)
        self._telling.start()

    def close(self) -> None:
        """Closes the connection; a movement still under way stops."""
        if self._closed:
            return
        self._closed = True
        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._socket.close()
        self._reading.join(timeout=5)
        self._events.put(None)
        if threading.current_thread() is not self._telling:
            self._telling.join(timeout=5)

    def __enter__(self) -> "Arm":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def call(self, method: str, timeout: Optional[float] = None, **params: Any) -> Any:
        """Sends one request and returns its result, waiting at most ``timeout`` seconds."""
        if self._closed:
            raise ArmError("the connection to Quillmar is closed")
        request_id = next(self._ids)
        waiting = _Call()
        with self._calls_lock:
            self._calls[request_id] = waiting
        message = {"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}
        try:
            line = json.dumps(message, allow_nan=False).encode() + b"\n"
            with self._write_lock:
                self._socket.sendall(line)
            if not waiting.done.wait(self.timeout if timeout is None else timeout):
                raise ArmTimeout("Quillmar did not answer %s within %g s"
                                 % (method, self.timeout if timeout is None else timeout))
        except OSError as error:
            raise ArmError("Quillmar closed the connection: %s" % error) from None
        finally:
            with self._calls_lock:
                self._calls.pop(request_id, None)
        reply = waiting.reply
        if reply is None:
            raise ArmError("Quillmar closed the connection")
        if "error" in reply:
            error = reply["error"]
            kind = StoppedByUser if error.get("code") == STOPPED_BY_USER else ArmError
            raise kind(error.get("message"), error.get("code"), error.get("data"))
        return reply.get("result")

    def _read(self) -> None:
        try:
            for line in self._reader:
                try:
                    message = json.loads(line)
                except ValueError:
                    continue
                if "id" in message:
                    with self._calls_lock:
                        waiting = self._calls.get(message["id"])
                    if waiting:
                        waiting.reply = message
                        waiting.done.set()
                elif "method" in message:
                    self._events.put(message)
        except (OSError, ValueError):
            pass
        finally:
            # Every call still waiting learns that no answer will come.
            with self._calls_lock:
                for waiting in self._calls.values():
                    waiting.done.set()

    def _tell(self) -> None:
        while True:
            message = self._events.get()
            if message is None:
                return
            params = message.get("params", {})
            if message.get("method") == "hold_ended" and self._hold is not None:
                self._hold._ended(params)
            handler = self._listeners.get(message.get("method"))
            if handler:
                try:
                    handler(params)
                except Exception:  # a handler's fault must not end the events for the others
                    sys.excepthook(*sys.exc_info())

    def on(self, event: str, handler: Optional[Handler]) -> None:
        """Calls ``handler(params)`` on the events thread for each notification ``event``:
        "step", "command", "state", "error", "message", "run_ended", "hold_ended", "stopped".
        ``params["time"]`` is when it was sent, as ``time.monotonic()`` reads; None removes the
        handler."""
        if not isinstance(event, str) or (handler is not None and not callable(handler)):
            raise TypeError("on(event: str, handler: callable or None)")
        if handler is None:
            self._listeners.pop(event, None)
            return
        self._listeners[event] = handler
        if event in SUBSCRIBED_EVENTS and not self._subscribed:
            self.subscribe()

    def state(self) -> Dict[str, Any]:
        """What the arm does: {"state", "attached", "light", "driver"}."""
        return self.call("state")

    def attach(self) -> Dict[str, Any]:
        """Attaches the first arm on the bus, as Attach arm does."""
        return self.call("attach", timeout=max(self.timeout, 30.0))

    def release(self) -> None:
        """Switches everything off and lets the arm go, as Release arm does."""
        self.call("release", timeout=self.timeout + MARGIN)

    def release_drive(self) -> None:
        """Stops driving the arm, so that another script may: what this one set moving stops."""
        self.call("release_drive", timeout=self.timeout + MARGIN)

    def resume(self) -> None:
        """After StoppedByUser: this connection's movements are taken again."""
        self.call("resume")

    def move(self, motor: Motor, seconds: float) -> Movement:
        """Runs ``motor`` (a name or 1 to 10) for ``seconds`` (above 0, at most 15), then stops
        it. Returns how it went: Stop, a joint's end or a release end it sooner."""
        params = {"motor": _motor(motor), "seconds": _seconds(seconds)}
        try:
            result = self.call("move", timeout=params["seconds"] + MARGIN, **params)
        except ArmError as error:
            if isinstance(error.data, dict) and error.data.get("ended") == "not started":
                raise ArmError(str(error), error.code, Movement(0.0, "not started")) from None
            raise
        return Movement(result["seconds"], result["ended"])

    def hold(self, motor: Motor) -> Hold:
        """Runs ``motor`` while the ``with`` block runs (15 s at most), then stops it::

            with arm.hold("grip") as held:
                time.sleep(0.5)
            print(held.ended, held.seconds)
        """
        if not _in_with_statement(sys._getframe(1)):
            raise ArmError("hold() runs a motor only in a with statement: "
                           "`with arm.hold(%r):`" % (motor,))
        return Hold(self, _motor(motor))

    def light(self, on: Optional[bool] = None) -> bool:
        """Switches the light on (True) or off (False), or the other way when ``on`` is None;
        returns it."""
        if on is not None and not isinstance(on, bool):
            raise TypeError("light(on): True, False or None, not %r" % (on,))
        params = {} if on is None else {"on": on}
        return self.call("light", **params)["on"]

    def stop(self) -> None:
        """Stops every motor and the program under way, as Stop does; from any thread."""
        self.call("stop", timeout=self.timeout + MARGIN)

    def run(self, text: str, reverse: bool = False,
            on_step: Optional[Handler] = None) -> Dict[str, Any]:
        """Runs program text (lines such as "6,150"), forwards or retraced in reverse.

        ``on_step(params)`` hears each step as it begins ({"index", "count", "line", "time"}).
        Returns {"stopped_at": None or the step Stop cut short, "messages": the check's lines}.
        """
        direction = _direction(reverse)
        seconds = self.check(_text(text), reverse)["seconds"]
        if on_step is not None:
            self.on("step", on_step)
        try:
            return self.call("run", timeout=seconds + MARGIN, text=text, direction=direction)
        finally:
            if on_step is not None:
                self.on("step", None)

    def check(self, text: str, reverse: bool = False) -> Dict[str, Any]:
        """What a run of ``text`` would do: {"messages", "warnings", "steps", "seconds"}."""
        return self.call("check", text=_text(text), direction=_direction(reverse))

    def pose(self) -> Dict[str, Any]:
        """Where the arm is estimated to be: each joint's angle in degrees (the gripper's opening
        in mm) and the light."""
        return self.call("pose")

    def back_to_start(self) -> str:
        """Moves each joint back to where it was when the arm was attached; how it ended."""
        return self.call("back_to_start", timeout=LONGEST_WAY_BACK + MARGIN)["ended"]

    def subscribe(self) -> Dict[str, Any]:
        """Asks for every notification from now on (see on())."""
        self._subscribed = True
        return self.call("subscribe")
